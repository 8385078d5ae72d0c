// The exceptions of a failed parse: quorvel.ParseError, a RuntimeError whose
// text is the problem's display text, and one subclass per kind of problem,
// carrying the kind's fields and the offset of the problem as attributes.
// A failure of the operating system is also the OSError that Python raises
// for its errno (FileNotFoundError, PermissionError, ...).
#pragma once

#include "py_ref.hpp"

#include "error.hpp"

namespace quorvel::python {

// Adds ParseError and its subclasses to `module`. The classes are made once
// per process; false with an exception set on failure.
bool add_parse_errors(PyObject* module) noexcept;

// Raises `error`, met while reading `path` (the argument as given).
void raise_parse_error(const ParseError& error, PyObject* path);

}  // namespace quorvel::python
