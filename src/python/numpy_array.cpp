#include "numpy_array.hpp"

#include "errors.hpp"

#include <cstdlib>
#include <cstring>

#define PY_ARRAY_UNIQUE_SYMBOL quorvel_numpy_api
#define NPY_NO_DEPRECATED_API NPY_1_21_API_VERSION
#define NPY_TARGET_VERSION NPY_1_21_API_VERSION
#include <numpy/arrayobject.h>

namespace quorvel::python {

namespace {

constexpr const char* kCapsuleFailure = "Failed to access NumPy array API capsule";

// Owns one malloc'd buffer of doubles and frees it when destroyed.
struct SliceContainer {
    PyObject_HEAD
    double* ptr;
};

void slice_container_dealloc(PyObject* self) {
    std::free(reinterpret_cast<SliceContainer*>(self)->ptr);
    Py_TYPE(self)->tp_free(self);
}

PyObject* slice_container_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for PySliceContainer");
    return nullptr;
}

// Looks the NumPy C API table up once: numpy 2 keeps it in numpy._core,
// numpy 1 in numpy.core.
bool load_numpy_api() {
    if (quorvel_numpy_api != nullptr) {
        return true;
    }
    PyRef numpy(PyImport_ImportModule("numpy"));
    PyRef version = numpy ? PyRef(PyObject_GetAttrString(numpy.get(), "__version__")) : PyRef();
    PyRef lib = version ? PyRef(PyImport_ImportModule("numpy.lib")) : PyRef();
    PyRef parsed = lib ? PyRef(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get())) : PyRef();
    PyRef major = parsed ? PyRef(PyObject_GetAttrString(parsed.get(), "major")) : PyRef();
    long major_version = major ? PyLong_AsLong(major.get()) : -1;
    PyRef multiarray;
    if (major && !PyErr_Occurred()) {
        multiarray = PyRef(PyImport_ImportModule(major_version >= 2 ? "numpy._core.multiarray"
                                                                    : "numpy.core.multiarray"));
    }
    PyRef capsule = multiarray ? PyRef(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API")) : PyRef();
    void* table = nullptr;
    if (capsule && PyCapsule_CheckExact(capsule.get())) {
        table = PyCapsule_GetPointer(capsule.get(), nullptr);
    }
    if (table == nullptr) {
        PyRef cause = take_exception();
        // Lack of memory stays what it is; anything else is the one error
        // users see, with what went wrong as its cause.
        if (cause && PyErr_GivenExceptionMatches(cause.get(), PyExc_MemoryError)) {
            raise_exception(std::move(cause));
            return false;
        }
        PyRef message(PyUnicode_FromString(kCapsuleFailure));
        if (message) {
            raise_with_cause(PyExc_ImportError, message.get(), std::move(cause));
        }
        return false;
    }
    quorvel_numpy_api = static_cast<void**>(table);
    return true;
}

}  // namespace

PyTypeObject* slice_container_type() {
    static PyTypeObject type = [] {
        PyTypeObject t{};
        Py_SET_REFCNT(&t, 1);
        t.tp_name = "builtins.PySliceContainer";
        t.tp_basicsize = sizeof(SliceContainer);
        t.tp_dealloc = slice_container_dealloc;
        t.tp_flags = Py_TPFLAGS_DEFAULT;
        t.tp_new = slice_container_new;
        return t;
    }();
    if (!(type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&type) < 0) {
        return nullptr;
    }
    return &type;
}

PyObject* make_array(const double* data, std::span<const std::uint64_t> dims) {
    return make_array(
        dims,
        [](double* out, std::size_t count, const void* values) {
            if (count != 0) {
                std::memcpy(out, values, count * sizeof(double));
            }
        },
        data);
}

PyObject* make_array(std::span<const std::uint64_t> dims, FillArray fill, const void* context) {
    if (!load_numpy_api()) {
        return nullptr;
    }
    PyTypeObject* container_type = slice_container_type();
    if (container_type == nullptr) {
        return nullptr;
    }
    npy_intp shape[NPY_MAXDIMS];
    npy_intp strides[NPY_MAXDIMS];
    const int rank = static_cast<int>(dims.size());
    std::uint64_t count = 1;
    {
        int i = 0;
        for (std::uint64_t dim : dims) {
            if (dim > static_cast<std::uint64_t>(NPY_MAX_INTP) ||
                __builtin_mul_overflow(count, dim, &count)) {
                return PyErr_NoMemory();
            }
            shape[i++] = static_cast<npy_intp>(dim);
        }
    }
    if (count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / sizeof(double)) {
        return PyErr_NoMemory();
    }
    npy_intp stride = sizeof(double);
    for (int i = rank; i-- > 0;) {
        strides[i] = stride;
        stride *= shape[i] > 0 ? shape[i] : 1;
    }

    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(double);
    auto* copy = static_cast<double*>(std::malloc(bytes == 0 ? sizeof(double) : bytes));
    if (copy == nullptr) {
        return PyErr_NoMemory();
    }
    fill(copy, static_cast<std::size_t>(count), context);
    auto* container = PyObject_New(SliceContainer, container_type);
    if (container == nullptr) {
        std::free(copy);
        return nullptr;
    }
    container->ptr = copy;
    PyRef owner(reinterpret_cast<PyObject*>(container));

    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);
    if (descr == nullptr) {
        return nullptr;
    }
    PyRef array(PyArray_NewFromDescr(&PyArray_Type, descr, rank, shape, strides, copy, NPY_ARRAY_WRITEABLE,
                                     nullptr));
    if (!array) {
        return nullptr;
    }
    // The container becomes the array's base; the call takes its reference.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
        return nullptr;
    }
    return array.release();
}

}  // namespace quorvel::python
