// The guarded region around every entry point from the interpreter: no C++
// exception crosses into Python. A failed allocation becomes MemoryError,
// any other fault an InternalFault, which derives from BaseException so that
// ordinary `except Exception` handlers do not swallow it. The one unwind
// that passes is a thread's forced exit (pthread_exit, which CPython uses
// to end a thread that takes the lock back during finalization): swallowing
// it aborts the process.
#pragma once

#include "py_ref.hpp"

#include <cxxabi.h>

#include <exception>
#include <new>
#include <stdexcept>

namespace quorvel::python {

// Sets InternalFault with `message`.
void raise_internal_fault(const char* message) noexcept;

// Runs `body`, which returns a new reference or null with an exception set.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise_internal_fault(fault.what());
    } catch (...) {
        raise_internal_fault("unknown internal fault");
    }
    return nullptr;
}

}  // namespace quorvel::python
