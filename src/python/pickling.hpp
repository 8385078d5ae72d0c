// Pickling of Vasprun objects: the record travels as its state (a header
// and the bulk arrays as raw float64 blocks), so that results come back
// from process pools, Dask or Ray at the speed of copying memory.
#pragma once

#include "py_ref.hpp"
#include "run_record.hpp"

namespace quorvel::python {

// (quorvel._restore, (header, array, ...)): what __reduce_ex__ returns for
// the Vasprun `owner` of `record`. From protocol 5 on, the arrays are
// buffers over the record itself (out-of-band capable, no copy); before,
// bytes copies.
PyObject* reduce_record(PyObject* owner, const RunRecord& record, int protocol);

// quorvel._restore(header, *arrays): the Vasprun of a state. Anything that
// is not a whole, unchanged state of this format raises ValueError. The
// record reads arrays of bytes objects (and of other records) where they
// lie; those of any other buffer it copies, so that nothing outside can
// change it.
PyObject* restore_vasprun(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quorvel::python
