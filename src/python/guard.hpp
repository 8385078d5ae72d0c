// The guarded region around every entry point from the interpreter: no C++
// exception crosses into Python. A failed allocation becomes MemoryError,
// any other fault an InternalFault, which derives from BaseException so that
// ordinary `except Exception` handlers do not swallow it. The one unwind
// that passes is a thread's forced exit (pthread_exit, which CPython uses
// to end a thread that takes the lock back during finalization): swallowing
// it aborts the process.
#pragma once

#include "py_ref.hpp"

#include "faults.hpp"

namespace quorvel::python {

// Sets InternalFault with `message`.
void raise_internal_fault(const char* message) noexcept;

// Runs `body`, which returns a new reference or null with an exception set.
template <class Body>
PyObject* guarded(Body&& body) {
    return catch_faults(body, [](FaultKind kind, const char* description) noexcept -> PyObject* {
        if (kind == FaultKind::OutOfMemory) {
            return PyErr_NoMemory();
        }
        raise_internal_fault(description);
        return nullptr;
    });
}

}  // namespace quorvel::python
