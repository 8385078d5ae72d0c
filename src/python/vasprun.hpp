// The Vasprun type: its constructor parses a run file, its sixteen read-only
// properties turn the record into Python values on every read.
#pragma once

#include "py_ref.hpp"

namespace quorvel::python {

// The Vasprun type object, made once per process; null with an exception
// set when it cannot be made.
PyTypeObject* vasprun_type();

}  // namespace quorvel::python
