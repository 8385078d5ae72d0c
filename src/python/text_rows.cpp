// Python's repr finds a float's shortest round-trip digits with big-number
// arithmetic, about half a microsecond a number for computed values; the
// writers need millions of them, so std::to_chars, which finds the same
// digits in a few dozen nanoseconds, writes them here.
#include "text_rows.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "guard.hpp"

namespace quorvel::python {

namespace {

// Appends the shortest text that reads back to x. A whole number gets ".0",
// so that readers which try whole numbers first still see a float, and one of
// more than 16 digits takes the exponent form instead, as Python's repr does.
void append_number(std::string& out, double x) {
    char buffer[40];  // the longest shortest form of a double is 24 characters
    std::to_chars_result written = std::to_chars(buffer, buffer + sizeof buffer, x);
    std::string_view text(buffer, static_cast<std::size_t>(written.ptr - buffer));
    if (!std::isfinite(x) || text.find_first_of(".e") != std::string_view::npos) {
        out += text;
        return;
    }
    if (text.size() - (text.front() == '-' ? 1 : 0) > 16) {
        written = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
        out.append(buffer, written.ptr);
        return;
    }
    out += text;
    out += ".0";
}

struct BufferView {
    Py_buffer view{};
    bool held = false;
    ~BufferView() {
        if (held) PyBuffer_Release(&view);
    }
};

// The rows [first, first + count) of the array as text.
std::string rows_text(const double* values, std::size_t first, std::size_t count, std::size_t width,
                      const std::vector<std::string_view>& heads) {
    std::string out;
    out.reserve(count * (width * 20 + 8));
    const double* value = values + first * width;
    for (std::size_t row = first; row < first + count; ++row) {
        if (!heads.empty()) {
            out += heads[row];
        }
        for (std::size_t column = 0; column < width; ++column, ++value) {
            if (!heads.empty() || row != first || column != 0) {
                out += ' ';
            }
            append_number(out, *value);
        }
        if (!heads.empty()) {
            out += '\n';
        }
    }
    return out;
}

PyObject* text_object(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

}  // namespace

PyObject* format_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 2 && nargs != 3) {
            PyErr_SetString(PyExc_TypeError,
                            "_format_rows() takes a 2-D float64 array, its row heads or None, and rows per text");
            return nullptr;
        }
        BufferView values;
        if (PyObject_GetBuffer(args[0], &values.view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
            return nullptr;
        }
        values.held = true;
        const Py_buffer& view = values.view;
        if (view.ndim != 2 || view.itemsize != 8 || view.format == nullptr || std::strcmp(view.format, "d") != 0) {
            PyErr_SetString(PyExc_TypeError, "_format_rows() takes a C-contiguous 2-D array of float64");
            return nullptr;
        }
        const auto rows = static_cast<std::size_t>(view.shape[0]);
        const auto width = static_cast<std::size_t>(view.shape[1]);
        std::size_t group = 0;
        if (nargs == 3) {
            const Py_ssize_t wanted = PyLong_AsSsize_t(args[2]);
            if (wanted == -1 && PyErr_Occurred()) {
                return nullptr;
            }
            if (wanted < 1 || rows % static_cast<std::size_t>(wanted) != 0) {
                PyErr_SetString(PyExc_ValueError, "_format_rows() takes rows per text that divide the rows");
                return nullptr;
            }
            group = static_cast<std::size_t>(wanted);
        }
        std::vector<std::string_view> heads;
        PyRef sequence;
        if (args[1] != Py_None) {
            // A tuple of them (the same tuple when given one): no other thread can take a
            // head away while its text is read without the lock.
            sequence = PyRef(PySequence_Tuple(args[1]));
            if (!sequence) {
                return nullptr;
            }
            if (static_cast<std::size_t>(PyTuple_GET_SIZE(sequence.get())) != rows) {
                PyErr_SetString(PyExc_ValueError, "_format_rows() takes one head per row");
                return nullptr;
            }
            heads.reserve(rows);
            for (std::size_t row = 0; row < rows; ++row) {
                PyObject* head = PyTuple_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(row));
                Py_ssize_t size = 0;
                const char* text = PyUnicode_Check(head) ? PyUnicode_AsUTF8AndSize(head, &size) : nullptr;
                if (text == nullptr) {
                    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "_format_rows() takes str row heads");
                    return nullptr;
                }
                heads.emplace_back(text, static_cast<std::size_t>(size));
            }
        }
        // The digits are found without the interpreter lock, so that worker threads go on
        // reading files meanwhile; the buffer and the heads' text are held until the end.
        const double* data = static_cast<const double*>(view.buf);
        const std::size_t texts = group == 0 ? 1 : rows / group;
        const std::size_t per_text = group == 0 ? rows : group;
        std::vector<std::string> formatted(texts);
        std::exception_ptr failure;
        PyThreadState* thread = PyEval_SaveThread();
        try {
            for (std::size_t index = 0; index < texts; ++index) {
                formatted[index] = rows_text(data, index * per_text, per_text, width, heads);
            }
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(thread);
        if (failure) {
            std::rethrow_exception(failure);
        }
        if (group == 0) {
            return text_object(formatted[0]);
        }
        PyRef list(PyList_New(static_cast<Py_ssize_t>(texts)));
        if (!list) {
            return nullptr;
        }
        for (std::size_t index = 0; index < texts; ++index) {
            PyObject* text = text_object(formatted[index]);
            if (text == nullptr) {
                return nullptr;
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), text);
        }
        return list.release();
    });
}

}  // namespace quorvel::python
