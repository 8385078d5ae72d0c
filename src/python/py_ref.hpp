// Owned references to Python objects, so that every early return of the
// binding releases what it made.
#pragma once

// The reader core runs without the interpreter lock: it must never reach
// the Python API.
#if defined(QUORVEL_CORE)
#error "the reader core must not use Python"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorvel::python {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (which may be null after a failed call).
    explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    static PyRef borrowed(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace quorvel::python
