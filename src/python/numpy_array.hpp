// NumPy arrays over private copies of the record's buffers. The NumPy C API
// is looked up on the first array made, so `import quorvel` works without
// NumPy; each array owns its copy through a PySliceContainer, its base.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace quorvel::python {

// A float64 array of shape `dims` (row-major) holding a copy of the
// `product(dims)` values at `data`. Null with an exception set on failure.
PyObject* make_array(const double* data, std::initializer_list<std::uint64_t> dims);

// The PySliceContainer type, made on first use.
PyTypeObject* slice_container_type();

}  // namespace quorvel::python
