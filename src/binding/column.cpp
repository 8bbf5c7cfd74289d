// Arrow columns through the PyCapsule interface, and the memoryviews that
// query_column returns.
#include <cerrno>
#include <cstring>
#include <deque>

#include "frame.hpp"

namespace murk::py {

// ---------------------------------------------------------------- import

// What the producer handed over. Each struct is ours once moved out of its
// capsule and is released exactly once, here, with the GIL held.
struct ArrowImport {
    arrow::ArrowArrayStream stream{};
    arrow::ArrowSchema schema{};
    std::deque<arrow::ArrowArray> arrays;  // a deque: chunks keep pointing at them

    ~ArrowImport() {
        // A release callback may run Python code (a producer written with
        // ctypes): it must not see, or swallow, an error on its way out.
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        for (arrow::ArrowArray& a : arrays)
            if (a.release) a.release(&a);
        if (schema.release) schema.release(&schema);
        if (stream.release) stream.release(&stream);
        PyErr_Restore(type, value, trace);
    }
};

void ArrowImportFree::operator()(ArrowImport* m) const { delete m; }

std::size_t Items::fill(const arrow::Column& c, arrow::Cursor& at, std::size_t max) {
    if (keys_.size() < max) keys_.resize(max);
    if (!text_) text_.reset(new char[max * arrow::Column::MAX_TEXT]);
    k_ = keys_.data();
    n_ = c.next_keys(at, keys_.data(), max, text_.get());
    return n_;
}

Column::Column() = default;
Column::Column(Column&&) noexcept = default;
Column::~Column() = default;

namespace {

constexpr const char* ACCEPTED =
    "an Arrow array or stream is expected (an object with __arrow_c_stream__ or __arrow_c_array__: "
    "pyarrow, polars, pandas, DuckDB, nanoarrow)";

// Moves the struct out of a capsule: the capsule's destructor then finds it
// released and leaves it alone.
template <class T>
void take(PyObject* capsule, const char* name, const char* method, T& out) {
    if (!PyCapsule_IsValid(capsule, name))
        raise(PyExc_TypeError, std::string(method) + "() did not return an '" + name + "' capsule");
    auto* src = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (!src) raise();
    if (!src->release) raise(PyExc_ValueError, std::string("malformed Arrow column: the ") + name + " was already released");
    out = *src;
    src->release = nullptr;
}

[[noreturn]] void stream_failed(arrow::ArrowArrayStream& s, int code) {
    if (PyErr_Occurred()) raise();
    const char* msg = s.get_last_error ? s.get_last_error(&s) : nullptr;
    raise(PyExc_ValueError, std::string("Arrow stream failed: ") + (msg ? msg : std::strerror(code)));
}

}  // namespace

void arrow_typed(const std::function<void()>& f) {
    try {
        f();
    } catch (const arrow::TypeError& e) {
        raise(PyExc_TypeError, e.what());
    }
}

ArrowImportPtr import_arrow(PyObject* o, const std::function<void(const arrow::ArrowSchema&)>& on_schema,
                            const std::function<void(const arrow::ArrowArray&)>& on_array) {
    ArrowImportPtr imp(new ArrowImport);
    ArrowImport& m = *imp;
    const char* method = "__arrow_c_stream__";
    Ref fn(PyObject_GetAttrString(o, method));
    if (!fn) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        method = "__arrow_c_array__";
        fn = Ref(PyObject_GetAttrString(o, method));
        if (!fn) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
            PyErr_Clear();
            raise(PyExc_TypeError, "'" + type_name(o) + "' object is not a column: " + ACCEPTED);
        }
    }
    Ref got = checked(PyObject_CallNoArgs(fn.get()));
    const bool stream = std::strcmp(method, "__arrow_c_stream__") == 0;
    if (stream) {
        take(got.get(), "arrow_array_stream", method, m.stream);
        if (!m.stream.get_schema || !m.stream.get_next)
            raise(PyExc_ValueError, "malformed Arrow column: the stream has no callbacks");
        if (int rc = m.stream.get_schema(&m.stream, &m.schema)) stream_failed(m.stream, rc);
        if (!m.schema.release) raise(PyExc_ValueError, "malformed Arrow column: the stream gave a released schema");
    } else {
        if (!PyTuple_Check(got.get()) || PyTuple_Size(got.get()) != 2)
            raise(PyExc_TypeError, "__arrow_c_array__() did not return a (schema, array) pair of capsules");
        take(PyTuple_GetItem(got.get(), 0), "arrow_schema", method, m.schema);
        take(PyTuple_GetItem(got.get(), 1), "arrow_array", method, m.arrays.emplace_back());
    }
    on_schema(m.schema);
    if (stream) {
        for (;;) {
            arrow::ArrowArray& a = m.arrays.emplace_back();
            if (int rc = m.stream.get_next(&m.stream, &a)) {
                a.release = nullptr;  // an array the producer did not fill is not ours to release
                stream_failed(m.stream, rc);
            }
            if (!a.release) {  // the end of the stream
                m.arrays.pop_back();
                break;
            }
            on_array(a);
        }
    } else {
        on_array(m.arrays.back());
    }
    return imp;
}

void Column::import(PyObject* o, bool text_only) {
    imp_ = import_arrow(
        o,
        [&](const arrow::ArrowSchema& schema) {
            arrow_typed([&] { col_.emplace(schema); });
            const arrow::ColumnType& t = col_->type();
            if (text_only && !t.is_text())
                raise(PyExc_TypeError,
                      "TopK reads string columns (utf8, large_utf8, utf8_view or a dictionary of them), not " + t.name);
        },
        [&](const arrow::ArrowArray& a) { col_->add(a); });
}

// ---------------------------------------------------------------- results

namespace {

// Keeps a result vector alive behind the memoryview that exposes it.
struct RowBuffer {
    PyObject_HEAD
    void* data;
    Py_ssize_t shape, stride;
    const char* format;
    void* owner;
    void (*free_owner)(void*);
};

int row_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* r = reinterpret_cast<RowBuffer*>(self);
    if (flags & PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "query_column results are read-only");
        view->obj = nullptr;
        return -1;
    }
    view->buf = r->data;
    Py_INCREF(self);
    view->obj = self;
    view->len = r->shape * r->stride;
    view->readonly = 1;
    view->itemsize = r->stride;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(r->format) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) ? &r->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &r->stride : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void row_release(PyObject*, Py_buffer*) {}

void row_dealloc(PyObject* self) {
    auto* r = reinterpret_cast<RowBuffer*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    if (r->free_owner) r->free_owner(r->owner);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(self);
    Py_DECREF(tp);
}

// Created on first use and kept for the process; never a module attribute.
PyTypeObject* row_type() {
    static PyTypeObject* type = nullptr;
    if (type) return type;
    static PyType_Slot slots[] = {
        slot(Py_bf_getbuffer, &row_getbuffer),
        slot(Py_bf_releasebuffer, &row_release),
        slot(Py_tp_dealloc, &row_dealloc),
        {0, nullptr},
    };
    static PyType_Spec spec{"_murk.RowResults", static_cast<int>(sizeof(RowBuffer)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (!type) raise();
    return type;
}

template <class T>
PyObject* memoryview_of(std::vector<T>&& v, const char* format) {
    PyTypeObject* tp = row_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    Ref o(alloc(tp, 0));
    if (!o) raise();
    auto* r = reinterpret_cast<RowBuffer*>(o.get());
    auto* owned = new std::vector<T>(std::move(v));
    r->owner = owned;
    r->free_owner = [](void* p) { delete static_cast<std::vector<T>*>(p); };
    static T none{};
    r->data = owned->empty() ? &none : owned->data();
    r->shape = static_cast<Py_ssize_t>(owned->size());
    r->stride = sizeof(T);
    r->format = format;
    return checked(PyMemoryView_FromObject(o.get())).release();
}

}  // namespace

PyObject* to_py(RowBools&& v) { return memoryview_of(std::move(v.v), "?"); }
PyObject* to_py(RowCounts&& v) { return memoryview_of(std::move(v.v), "Q"); }

}  // namespace murk::py
