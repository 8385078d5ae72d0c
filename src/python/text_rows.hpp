// Rows of numbers as text, for the writers of the package's Python modules
// (the extended XYZ of `quorvel export`).
#pragma once

#include "py_ref.hpp"

namespace quorvel::python {

// quorvel._format_rows(values, heads[, rows_per_text]): the rows of a
// C-contiguous 2-D float64 array as text, each number in its shortest form
// that reads back to the same bits. With heads (a list or tuple of one str per
// row), a line per row: its head, then the numbers, each after a space. With
// None, the numbers separated by single spaces, without a line break. With
// rows_per_text, a list of texts, one per that many rows (a frame's atoms,
// say), so that a whole run is formatted in one call.
PyObject* format_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quorvel::python
