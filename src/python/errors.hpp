// The raised exception as one object, on every supported CPython: 3.12
// added PyErr_GetRaisedException and deprecated the fetch-and-restore trio.
#pragma once

#include "py_ref.hpp"

namespace quorvel::python {

// Takes the raised exception (normalised; null when none is raised).
inline PyRef take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef(value);
#endif
}

// Raises `exception` (a normalised exception instance) again.
inline void raise_exception(PyRef exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

// Raises `type(message)` whose __cause__ is `cause` (which may be null).
inline void raise_with_cause(PyObject* type, PyObject* message, PyRef cause) noexcept {
    PyRef exception(PyObject_CallOneArg(type, message));
    if (!exception) {
        return;
    }
    PyException_SetCause(exception.get(), cause.release());
    raise_exception(std::move(exception));
}

}  // namespace quorvel::python
