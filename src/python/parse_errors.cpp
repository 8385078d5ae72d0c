#include "parse_errors.hpp"

#include <array>
#include <cstddef>
#include <string>

#include "errors.hpp"

namespace quorvel::python {

namespace {

constexpr const char* kParseErrorDoc =
    "A run file that could not be read. str() is the reason, as the reader\n"
    "words it; ``offset`` is the byte offset in the document text (after\n"
    "decompression and decoding) at which the reader stood when it met the\n"
    "problem, or None where the problem has no place.";

// The subclass of each kind but Other, whose errors are plain ParseErrors.
struct KindClass {
    ErrorKind kind;
    const char* name;
    const char* doc;
};
constexpr KindClass kKindClasses[] = {
    {ErrorKind::Io, "IoError",
     "The file could not be read. When the operating system failed (open,\n"
     "read, map), the exception is also the OSError of its errno, with\n"
     "``errno``, ``strerror`` and ``filename``; for corrupt gzip data\n"
     "``errno`` is None and ``strerror`` says what is wrong."},
    {ErrorKind::Xml, "XmlError", "Malformed markup; ``description`` is the reader's."},
    {ErrorKind::Encoding, "EncodingError", "The bytes could not be decoded; ``message`` says so."},
    {ErrorKind::MissingElement, "MissingElementError", "A required element is missing; ``element`` names it."},
    {ErrorKind::ParseValue, "ParseValueError",
     "A text is not the value it should be: ``value``, the ``type_name`` it\n"
     "should have been read as, and ``message``."},
    {ErrorKind::ShapeMismatch, "ShapeMismatchError",
     "A table does not have the shape its section requires: ``expected``\n"
     "and ``got``, lists of counts."},
};
constexpr std::size_t kKinds = static_cast<std::size_t>(ErrorKind::Other) + 1;

// OSError and its subclasses, which Python chooses by errno: an IoError of
// the operating system is also the one of its errno.
PyObject* const* const kOsErrors[] = {
    &PyExc_OSError,
    &PyExc_BlockingIOError,
    &PyExc_ChildProcessError,
    &PyExc_ConnectionError,
    &PyExc_BrokenPipeError,
    &PyExc_ConnectionAbortedError,
    &PyExc_ConnectionRefusedError,
    &PyExc_ConnectionResetError,
    &PyExc_FileExistsError,
    &PyExc_FileNotFoundError,
    &PyExc_InterruptedError,
    &PyExc_IsADirectoryError,
    &PyExc_NotADirectoryError,
    &PyExc_PermissionError,
    &PyExc_ProcessLookupError,
    &PyExc_TimeoutError,
};
constexpr std::size_t kOsErrorCount = std::size(kOsErrors);

struct ParseErrorClasses {
    PyObject* base = nullptr;                          // ParseError
    std::array<PyObject*, kKinds> by_kind{};           // Other: ParseError itself
    std::array<PyObject*, kOsErrorCount> os_errors{};  // IoError and each of kOsErrors
};

// The state of an IoError for pickle: its attributes, those that OSError
// keeps in its own slots (errno, strerror, filename) included.
PyObject* io_error_reduce(PyObject* self, PyObject*) {
    PyRef attributes(PyObject_GetAttrString(self, "__dict__"));
    PyRef state(attributes ? PyDict_Copy(attributes.get()) : nullptr);
    if (!state) {
        return nullptr;
    }
    for (const char* name : {"errno", "strerror", "filename"}) {
        PyRef value(PyObject_GetAttrString(self, name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return nullptr;
            }
            PyErr_Clear();
        } else if (PyDict_SetItemString(state.get(), name, value.get()) < 0) {
            return nullptr;
        }
    }
    PyRef args(PyObject_GetAttrString(self, "args"));
    if (!args) {
        return nullptr;
    }
    return PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get(), state.get());
}

PyMethodDef kIoErrorReduce = {"__reduce__", io_error_reduce, METH_NOARGS, nullptr};

// IoError combined with `os_error`, reached as IoError.<its name> so that
// pickle finds it. Its str() is the reason, as every ParseError's, not the
// "[Errno 2] ..." of OSError.
PyObject* make_os_variant(PyObject* io_error, PyObject* os_error) {
    PyRef name(PyObject_GetAttrString(os_error, "__name__"));
    PyRef str(PyObject_GetAttrString(PyExc_BaseException, "__str__"));
    PyRef dict(PyDict_New());
    if (!name || !str || !dict) {
        return nullptr;
    }
    PyRef qualified(PyUnicode_FromFormat("quorvel.%U", name.get()));
    PyRef qualname(PyUnicode_FromFormat("IoError.%U", name.get()));
    PyRef bases(PyTuple_Pack(2, io_error, os_error));
    if (!qualified || !qualname || !bases || PyDict_SetItemString(dict.get(), "__str__", str.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "__qualname__", qualname.get()) < 0) {
        return nullptr;
    }
    const char* full_name = PyUnicode_AsUTF8(qualified.get());
    if (full_name == nullptr) {
        return nullptr;
    }
    PyRef variant(PyErr_NewExceptionWithDoc(full_name, "An IoError that is also the OSError of its errno.",
                                            bases.get(), dict.get()));
    if (!variant || PyObject_SetAttr(io_error, name.get(), variant.get()) < 0) {
        return nullptr;
    }
    return variant.release();
}

bool make_classes(ParseErrorClasses& classes) noexcept {
    classes.base = PyErr_NewExceptionWithDoc("quorvel.ParseError", kParseErrorDoc, PyExc_RuntimeError, nullptr);
    if (classes.base == nullptr || PyObject_SetAttrString(classes.base, "offset", Py_None) < 0) {
        return false;
    }
    classes.by_kind.fill(classes.base);
    for (const KindClass& kind : kKindClasses) {
        const std::string qualified = std::string("quorvel.") + kind.name;
        PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), kind.doc, classes.base, nullptr);
        if (type == nullptr) {
            return false;
        }
        classes.by_kind[static_cast<std::size_t>(kind.kind)] = type;
    }
    PyObject* io_error = classes.by_kind[static_cast<std::size_t>(ErrorKind::Io)];
    PyRef reduce(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(io_error), &kIoErrorReduce));
    if (!reduce || PyObject_SetAttrString(io_error, "__reduce__", reduce.get()) < 0) {
        return false;
    }
    for (std::size_t i = 0; i < kOsErrorCount; ++i) {
        classes.os_errors[i] = make_os_variant(io_error, *kOsErrors[i]);
        if (classes.os_errors[i] == nullptr) {
            return false;
        }
    }
    return true;
}

// Made once per process, like the other types of the module, and kept.
const ParseErrorClasses* parse_error_classes() noexcept {
    static ParseErrorClasses classes;
    static bool made = false;
    if (!made) {
        if (!make_classes(classes)) {
            return nullptr;
        }
        made = true;
    }
    return &classes;
}

PyObject* text(const std::string& value) {
    return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

PyObject* counts(const std::vector<std::uint64_t>& values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* count = PyLong_FromUnsignedLongLong(values[i]);
        if (count == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), count);
    }
    return list.release();
}

// Sets attribute `name` of `exception` to `value` (a new reference, or null
// after a failed call).
bool set_attribute(PyObject* exception, const char* name, PyObject* value) {
    PyRef owned(value);
    return owned && PyObject_SetAttrString(exception, name, owned.get()) == 0;
}

// The class of an error: that of its kind, and for a failure of the
// operating system the IoError that is also the OSError Python chooses for
// its errno.
PyObject* class_of(const ParseError& error, const ParseErrorClasses& classes) {
    if (error.kind() != ErrorKind::Io || error.error_number() == 0) {
        return classes.by_kind[static_cast<std::size_t>(error.kind())];
    }
    PyRef chosen(PyObject_CallFunction(PyExc_OSError, "is", error.error_number(), ""));
    if (!chosen) {
        return nullptr;
    }
    for (std::size_t i = 0; i < kOsErrorCount; ++i) {
        if (reinterpret_cast<PyObject*>(Py_TYPE(chosen.get())) == *kOsErrors[i]) {
            return classes.os_errors[i];
        }
    }
    return classes.os_errors[0];
}

// The fields of the error's kind as attributes.
bool set_fields(PyObject* exception, const ParseError& error, PyObject* path) {
    const auto offset = error.offset();
    if (!set_attribute(exception, "offset",
                       offset ? PyLong_FromUnsignedLongLong(*offset) : Py_NewRef(Py_None))) {
        return false;
    }
    switch (error.kind()) {
        case ErrorKind::Io:
            return set_attribute(exception, "errno",
                                 error.error_number() != 0 ? PyLong_FromLong(error.error_number())
                                                           : Py_NewRef(Py_None)) &&
                   set_attribute(exception, "strerror", text(error.text())) &&
                   set_attribute(exception, "filename", Py_NewRef(path));
        case ErrorKind::Xml:
            return set_attribute(exception, "description", text(error.text()));
        case ErrorKind::Encoding:
        case ErrorKind::Other:
            return set_attribute(exception, "message", text(error.text()));
        case ErrorKind::MissingElement:
            return set_attribute(exception, "element", text(error.text()));
        case ErrorKind::ParseValue:
            return set_attribute(exception, "value", text(error.text())) &&
                   set_attribute(exception, "type_name", text(error.type_name())) &&
                   set_attribute(exception, "message", text(error.message()));
        case ErrorKind::ShapeMismatch:
            return set_attribute(exception, "expected", counts(error.expected())) &&
                   set_attribute(exception, "got", counts(error.got()));
        case ErrorKind::Interrupted:
            break;
    }
    return true;
}

}  // namespace

bool add_parse_errors(PyObject* module) noexcept {
    const ParseErrorClasses* classes = parse_error_classes();
    if (classes == nullptr || PyModule_AddObjectRef(module, "ParseError", classes->base) < 0) {
        return false;
    }
    for (const KindClass& kind : kKindClasses) {
        PyObject* type = classes->by_kind[static_cast<std::size_t>(kind.kind)];
        if (PyModule_AddObjectRef(module, kind.name, type) < 0) {
            return false;
        }
    }
    return true;
}

void raise_parse_error(const ParseError& error, PyObject* path) {
    const ParseErrorClasses* classes = parse_error_classes();
    if (classes == nullptr) {
        return;
    }
    PyObject* type = class_of(error, *classes);
    PyRef message(text(error.to_string()));
    if (type == nullptr || !message) {
        return;
    }
    PyRef exception(PyObject_CallOneArg(type, message.get()));
    if (!exception || !set_fields(exception.get(), error, path)) {
        return;
    }
    raise_exception(std::move(exception));
}

}  // namespace quorvel::python
