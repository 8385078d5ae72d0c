#include "pickling.hpp"

#include <cstring>
#include <memory>
#include <vector>

#include "guard.hpp"
#include "pages.hpp"
#include "record_state.hpp"
#include "vasprun.hpp"

namespace quorvel::python {

namespace {

// A bytes copy. The pages of a large one are mapped in one call before the
// copy (memory::populate), instead of one fault per page during it.
PyObject* bytes_of(std::string_view bytes) {
    PyObject* copy = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes.size()));
    if (copy != nullptr && !bytes.empty()) {
        char* to = PyBytes_AS_STRING(copy);
        memory::populate(to, to + bytes.size());
        std::memcpy(to, bytes.data(), bytes.size());
    }
    return copy;
}

// A buffer the restored record reads its array from, released with it (the
// record is destroyed with the interpreter lock held).
void release_buffer(void* buffer) {
    auto* view = static_cast<Py_buffer*>(buffer);
    PyBuffer_Release(view);
    delete view;
}

// A read-only buffer over bytes of a record, which keeps the Vasprun that
// owns the record alive as long as the buffer is in use.
struct RecordBytes {
    PyObject_HEAD
    PyObject* owner;
    const char* data;
    Py_ssize_t size;
};

int record_bytes_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* block = reinterpret_cast<RecordBytes*>(self);
    return PyBuffer_FillInfo(view, self, const_cast<char*>(block->data), block->size, 1, flags);
}

void record_bytes_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<RecordBytes*>(self)->owner);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject* record_bytes_type() {
    static PyBufferProcs buffer = {record_bytes_getbuffer, nullptr};
    static PyTypeObject type = [] {
        PyTypeObject t{};
        Py_SET_REFCNT(&t, 1);
        t.tp_name = "quorvel._RecordBytes";
        t.tp_basicsize = sizeof(RecordBytes);
        t.tp_dealloc = record_bytes_dealloc;
        t.tp_flags = Py_TPFLAGS_DEFAULT;
        t.tp_as_buffer = &buffer;
        return t;
    }();
    if (!(type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&type) < 0) {
        return nullptr;
    }
    return &type;
}

// Whether nothing can change the bytes of `view` while it is held, so that a
// record may read them where they lie: those of a bytes object or of another
// record (through memoryviews too). Any other exporter may change or lose
// them under the record (a bytearray written to, an mmap whose file
// shrinks: SIGBUS), read-only flag or not, and is copied.
bool immutable_bytes(const Py_buffer& view) {
    PyObject* exporter = view.obj;
    while (exporter != nullptr && PyMemoryView_Check(exporter)) {
        exporter = PyMemoryView_GET_BASE(exporter);
    }
    if (exporter == nullptr) {
        return false;
    }
    const PyBufferProcs* procs = Py_TYPE(exporter)->tp_as_buffer;
    return PyBytes_CheckExact(exporter) || (procs != nullptr && procs->bf_getbuffer == record_bytes_getbuffer);
}

// A pickle buffer over `bytes` of the record of `owner`.
PyObject* record_buffer(PyObject* owner, std::string_view bytes) {
    PyTypeObject* type = record_bytes_type();
    if (type == nullptr) {
        return nullptr;
    }
    auto* block = PyObject_New(RecordBytes, type);
    if (block == nullptr) {
        return nullptr;
    }
    block->owner = Py_NewRef(owner);
    block->data = bytes.data();
    block->size = static_cast<Py_ssize_t>(bytes.size());
    PyRef held(reinterpret_cast<PyObject*>(block));
    return PyPickleBuffer_FromObject(held.get());
}

}  // namespace

PyObject* reduce_record(PyObject* owner, const RunRecord& record, int protocol) {
    std::vector<std::string_view> arrays;
    const std::string header = write_state(record, arrays);
    PyRef args(PyTuple_New(static_cast<Py_ssize_t>(1 + arrays.size())));
    if (!args) {
        return nullptr;
    }
    for (std::size_t i = 0; i <= arrays.size(); ++i) {
        PyObject* item = i == 0 ? bytes_of(header)
                         : protocol >= 5 ? record_buffer(owner, arrays[i - 1])
                                         : bytes_of(arrays[i - 1]);
        if (item == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), item);
    }
    PyRef module(PyImport_ImportModule("quorvel"));
    PyRef restore = module ? PyRef(PyObject_GetAttrString(module.get(), "_restore")) : PyRef();
    if (!restore) {
        return nullptr;
    }
    return PyTuple_Pack(2, restore.get(), args.get());
}

PyObject* restore_vasprun(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs < 1) {
            PyErr_SetString(PyExc_TypeError, "_restore() takes a state header and its arrays");
            return nullptr;
        }
        // Every buffer taken is given back on every path: those of the arrays
        // with the record that borrows them, or here.
        struct Buffers {
            Py_buffer header{};
            bool have_header = false;
            std::vector<StateArray> arrays;
            ~Buffers() {
                for (StateArray& array : arrays) {
                    if (array.owner.release != nullptr) array.owner.release(array.owner.owner);
                }
                if (have_header) PyBuffer_Release(&header);
            }
        } buffers;
        if (PyObject_GetBuffer(args[0], &buffers.header, PyBUF_SIMPLE) < 0) {
            return nullptr;
        }
        buffers.have_header = true;
        buffers.arrays.reserve(static_cast<std::size_t>(nargs - 1));
        for (Py_ssize_t i = 1; i < nargs; ++i) {
            auto view = std::make_unique<Py_buffer>();
            if (PyObject_GetBuffer(args[i], view.get(), PyBUF_SIMPLE) < 0) {
                return nullptr;
            }
            const std::string_view bytes(static_cast<const char*>(view->buf), static_cast<std::size_t>(view->len));
            const bool immutable = immutable_bytes(*view);
            buffers.arrays.push_back(StateArray{bytes, ForeignOwner{release_buffer, view.release()}, immutable});
        }
        auto record = std::make_unique<RunRecord>();
        const std::string_view header(static_cast<const char*>(buffers.header.buf),
                                      static_cast<std::size_t>(buffers.header.len));
        const Status status = read_state(header, buffers.arrays, *record);
        if (!status.ok()) {
            PyErr_SetString(PyExc_ValueError, status.error().to_string().c_str());
            return nullptr;
        }
        return new_vasprun(std::move(record));
    });
}

}  // namespace quorvel::python
