// NumPy arrays over private copies of the record's buffers. The NumPy C API
// is looked up on the first array made, so `import quorvel` works without
// NumPy; each array owns its copy through a PySliceContainer, its base.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace quorvel::python {

// A float64 array of shape `dims` (row-major) whose `product(dims)` values
// `fill(out, count, context)` writes. Null with an exception set on failure.
using FillArray = void (*)(double* out, std::size_t count, const void* context);
PyObject* make_array(std::span<const std::uint64_t> dims, FillArray fill, const void* context);

// The same holding a copy of the values at `data`.
PyObject* make_array(const double* data, std::span<const std::uint64_t> dims);

// The PySliceContainer type, made on first use.
PyTypeObject* slice_container_type();

}  // namespace quorvel::python
