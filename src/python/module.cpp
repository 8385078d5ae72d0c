// The module `quorvel`: made once per process, it holds the Vasprun type,
// the exceptions (ParseError and its subclasses, InternalFault), __all__ and
// build_info.
#include "build_info.hpp"
#include "guard.hpp"
#include "parse_errors.hpp"
#include "pickling.hpp"
#include "text_rows.hpp"
#include "vasprun.hpp"

namespace quorvel::python {

namespace {

// The exception type of internal faults, made once per process; null with
// an exception set when it cannot be made.
PyObject* internal_fault_type() noexcept {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("quorvel.InternalFault",
                                         "An internal fault of the quorvel reader; please report it.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

PyMethodDef kFunctions[] = {
    // The restore of a pickled Vasprun; private, for pickle to call.
    {"_restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(restore_vasprun)), METH_FASTCALL, nullptr},
    // Numbers as text for the package's writers; private.
    {"_format_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(format_rows)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quorvel",
    "Python extension module. Registered by scikit-build-core, which compiles the Python binding "
    "when CMake runs with its SKBUILD option set.",
    0,
    kFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// {"gzip": ..., "floats": ..., "inflate_ahead": ...}: which optional
// libraries the core was built with, so that a user can tell why a build is
// slower than expected.
PyObject* make_build_info() {
    const BuildInfo info = build_info();
    return Py_BuildValue("{s:s,s:s,s:s}", "gzip", info.gzip, "floats", info.floats, "inflate_ahead",
                         info.inflate_ahead);
}

PyObject* make_module() {
    PyTypeObject* type = vasprun_type();
    PyObject* fault = internal_fault_type();
    if (type == nullptr || fault == nullptr) {
        return nullptr;
    }
    PyRef module(PyModule_Create(&kModule));
    PyRef all(PyList_New(0));
    PyRef name(PyUnicode_FromString("Vasprun"));
    PyRef info(make_build_info());
    if (!module || !all || !name || !info || PyList_Append(all.get(), name.get()) < 0 ||
        PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0 ||
        PyModule_AddObjectRef(module.get(), "Vasprun", reinterpret_cast<PyObject*>(type)) < 0 ||
        PyModule_AddObjectRef(module.get(), "InternalFault", fault) < 0 || !add_parse_errors(module.get()) ||
        PyModule_AddObjectRef(module.get(), "build_info", info.get()) < 0) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

void raise_internal_fault(const char* message) noexcept {
    if (PyObject* type = internal_fault_type()) {
        PyErr_SetString(type, message);
    }
}

}  // namespace quorvel::python

PyMODINIT_FUNC PyInit_quorvel() {
    using namespace quorvel::python;
    return guarded([]() -> PyObject* {
        // Process-wide state (the type objects, the NumPy table) belongs to
        // the first interpreter that imports the module.
        static std::int64_t owner = -1;
        static PyObject* module = nullptr;
        const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (interpreter < 0) {
            return nullptr;
        }
        if (owner == -1) {
            owner = interpreter;
        } else if (owner != interpreter) {
            PyErr_SetString(PyExc_ImportError,
                            "quorvel can be imported by one interpreter per process only");
            return nullptr;
        }
        if (module == nullptr) {
            module = make_module();
            if (module == nullptr) {
                return nullptr;
            }
        }
        return Py_NewRef(module);
    });
}
