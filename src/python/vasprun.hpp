// The Vasprun type: its constructor parses a run file, its sixteen read-only
// properties turn the record into Python values on every read.
#pragma once

#include <memory>

#include "py_ref.hpp"
#include "run_record.hpp"

namespace quorvel::python {

// The Vasprun type object, made once per process; null with an exception
// set when it cannot be made.
PyTypeObject* vasprun_type();

// A new Vasprun owning `record`; null with an exception set.
PyObject* new_vasprun(std::unique_ptr<RunRecord> record);

}  // namespace quorvel::python
