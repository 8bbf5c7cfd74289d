#include "frame_keys.hpp"

namespace murk::py {

// ---------------------------------------------------------------- item keys

namespace {

// UTF-8 of a str; lone surrogates come out as U+FFFD per invalid byte, like
// the "replace" handler applied to a "surrogatepass" encoding.
const char* utf8_of(PyObject* s, Py_ssize_t* n, Ref& owner) {
    const char* p = PyUnicode_AsUTF8AndSize(s, n);
    if (p) return p;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise();
    PyErr_Clear();
    Ref raw = checked(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    char* b;
    Py_ssize_t bn;
    if (PyBytes_AsStringAndSize(raw.get(), &b, &bn) < 0) raise();
    owner = checked(PyUnicode_DecodeUTF8(b, bn, "replace"));
    p = PyUnicode_AsUTF8AndSize(owner.get(), n);
    if (!p) raise();
    return p;
}

}  // namespace

// Receives the bytes of one key, either as a view into an object it must keep
// alive or as bytes to copy.
struct ItemSink {
    virtual void view(PyObject* owner_ref, const char* p, std::size_t n) = 0;  // steals owner_ref
    virtual void begin_copy() = 0;
    virtual void push(char c) = 0;
    virtual void append(const char* p, std::size_t n) = 0;
    virtual void rollback_copy() = 0;
    virtual void end_copy() = 0;
    virtual ~ItemSink() = default;
};

namespace {

void text_key(PyObject* s, ItemSink& sink) {
    Ref owner;
    Py_ssize_t n;
    const char* p = utf8_of(s, &n, owner);
    if (!owner) {
        Py_INCREF(s);
        owner = Ref(s);
    }
    sink.view(owner.release(), p, static_cast<std::size_t>(n));
}

// Reduces o to its key; returns false with a Python error set on failure.
void reduce(PyObject* o, ItemSink& sink) {
    if (PyUnicode_Check(o)) {
        if (PyUnicode_CheckExact(o)) return text_key(o, sink);
        Ref s(PyObject_Str(o));
        if (s) return text_key(s.get(), sink);
        PyErr_WriteUnraisable(o);
        Ref name(PyType_GetName(Py_TYPE(o)));
        const char* tn = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
        if (!tn) PyErr_Clear();
        std::string msg = tn ? std::string("<unprintable ") + tn + " object>" : "<unprintable object>";
        sink.begin_copy();
        sink.append(msg.data(), msg.size());
        return sink.end_copy();
    }
    if (PyBytes_Check(o)) {
        char* p;
        Py_ssize_t n;
        if (PyBytes_AsStringAndSize(o, &p, &n) < 0) raise();
        Py_INCREF(o);
        return sink.view(o, p, static_cast<std::size_t>(n));
    }
    if (PySequence_Check(o)) {
        // Contiguous unsigned bytes (bytearray, memoryview, array('B')) are copied
        // in one go: a mutable buffer may change while the GIL is released.
        if (PyObject_CheckBuffer(o)) {
            Py_buffer v;
            if (PyObject_GetBuffer(o, &v, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
                bool plain = v.itemsize == 1 && (v.format == nullptr || std::strcmp(v.format, "B") == 0);
                if (plain) {
                    sink.begin_copy();
                    sink.append(static_cast<const char*>(v.buf), static_cast<std::size_t>(v.len));
                    PyBuffer_Release(&v);
                    return sink.end_copy();
                }
                PyBuffer_Release(&v);
            } else {
                PyErr_Clear();
            }
        }
        sink.begin_copy();
        bool ok = true;
        Ref it(PyObject_GetIter(o));
        if (!it) ok = false;
        while (ok) {
            Ref e(PyIter_Next(it.get()));
            if (!e) {
                ok = !PyErr_Occurred();
                break;
            }
            Ref idx(PyNumber_Index(e.get()));
            if (!idx) {
                ok = false;
                break;
            }
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
            if (overflow || v < 0 || v > 255) {
                ok = false;
                break;
            }
            if (v == -1 && PyErr_Occurred()) {
                ok = false;
                break;
            }
            sink.push(static_cast<char>(v));
        }
        if (ok) return sink.end_copy();
        // Not a sequence of small ints after all: key it by its text.
        PyErr_Clear();
        sink.rollback_copy();
    }
    Ref s(PyObject_Str(o));
    if (!s) raise();
    text_key(s.get(), sink);
}

struct SingleSink final : ItemSink {
    Item& it;
    explicit SingleSink(Item& i) : it(i) {}
    void view(PyObject* owner, const char* p, std::size_t n) override {
        it.owner = Ref(owner);
        it.key = {p, n};
    }
    void begin_copy() override { it.buf.clear(); }
    void push(char c) override { it.buf.push_back(c); }
    void append(const char* p, std::size_t n) override { it.buf.insert(it.buf.end(), p, p + n); }
    void rollback_copy() override { it.buf.clear(); }
    void end_copy() override { it.key = {it.buf.data(), it.buf.size()}; }
};

}  // namespace

void to_key(PyObject* o, Item& out) {
    SingleSink sink(out);
    reduce(o, sink);
}

// Copied keys live in one arena; their offsets become pointers once it stops growing.
struct BatchSink final : ItemSink {
    std::vector<Key>& keys;
    std::vector<PyObject*>& refs;
    std::vector<char>& arena;
    std::vector<std::size_t>& in_arena;
    std::size_t start = 0;
    BatchSink(Items& i) : keys(i.keys_), refs(i.refs_), arena(i.arena_), in_arena(i.in_arena_) {}
    void view(PyObject* owner, const char* p, std::size_t n) override {
        try {
            refs.push_back(owner);
        } catch (...) {
            Py_DECREF(owner);
            throw;
        }
        keys.push_back({p, n});
    }
    void begin_copy() override { start = arena.size(); }
    void push(char c) override { arena.push_back(c); }
    void append(const char* p, std::size_t n) override { arena.insert(arena.end(), p, p + n); }
    void rollback_copy() override { arena.resize(start); }
    void end_copy() override {
        in_arena.push_back(keys.size());
        keys.push_back({reinterpret_cast<const char*>(start), arena.size() - start});
    }
};

namespace {
// Each thread keeps the arrays of its last batch: a large batch then writes
// into pages that are already mapped instead of faulting in fresh ones.
struct BatchPool {
    std::vector<Key> keys;
    std::vector<PyObject*> refs;
};
thread_local BatchPool batch_pool;
constexpr std::size_t POOL_KEEP_BYTES = std::size_t{32} << 20;
}  // namespace

void Items::gather(PyObject* iterable) {
    keys_.swap(batch_pool.keys);
    refs_.swap(batch_pool.refs);
    keys_.clear();
    refs_.clear();
    keys_.reserve(4);
    refs_.reserve(4);
    BatchSink sink(*this);
    // Exact str and bytes are the common case: key them in place without the
    // general reduction (which may run Python code, so it gets its own reference).
    auto add = [&](PyObject* o) {
        Py_ssize_t n;
        const char* p = nullptr;
        if (Py_IS_TYPE(o, &PyUnicode_Type)) {
            p = PyUnicode_AsUTF8AndSize(o, &n);
            if (!p) PyErr_Clear();  // lone surrogates: the general path handles them
        } else if (Py_IS_TYPE(o, &PyBytes_Type)) {
            char* b;
            if (PyBytes_AsStringAndSize(o, &b, &n) == 0) p = b;
            else PyErr_Clear();
        }
        Py_INCREF(o);
        if (p) return sink.view(o, p, static_cast<std::size_t>(n));
        Ref hold(o);
        reduce(o, sink);
    };
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        const bool list = PyList_CheckExact(iterable);
        auto size = [&] { return list ? PyList_Size(iterable) : PyTuple_Size(iterable); };
        auto at = [&](Py_ssize_t i) { return list ? PyList_GetItem(iterable, i) : PyTuple_GetItem(iterable, i); };
        Py_ssize_t n = size();
        keys_.reserve(static_cast<std::size_t>(n));
        refs_.reserve(static_cast<std::size_t>(n));
        // Re-read the size each time: an element's __str__ may shrink the list.
        for (Py_ssize_t i = 0; i < (n = size()); ++i) {
            if (i + static_cast<Py_ssize_t>(AHEAD) < n) prefetch(at(i + AHEAD));
            PyObject* e = at(i);  // borrowed: add() takes its own reference first
            if (!e) raise();
            add(e);
        }
    } else {
        Ref it = checked(PyObject_GetIter(iterable));
        while (Ref e{PyIter_Next(it.get())}) add(e.get());
        if (PyErr_Occurred()) raise();
    }
    for (std::size_t i : in_arena_)
        keys_[i].data = arena_.data() + reinterpret_cast<std::size_t>(keys_[i].data);
    k_ = keys_.data();
    n_ = keys_.size();
}

Items::~Items() {
    const std::size_t n = refs_.size();
    constexpr std::size_t DECREF_AHEAD = 32;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + DECREF_AHEAD < n) __builtin_prefetch(refs_[i + DECREF_AHEAD], 1, 3);
        Py_DECREF(refs_[i]);
    }
    refs_.clear();
    keys_.clear();
    if (keys_.capacity() * sizeof(Key) <= POOL_KEEP_BYTES && keys_.capacity() > batch_pool.keys.capacity())
        keys_.swap(batch_pool.keys);
    if (refs_.capacity() * sizeof(PyObject*) <= POOL_KEEP_BYTES && refs_.capacity() > batch_pool.refs.capacity())
        refs_.swap(batch_pool.refs);
}

void require_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "a str cannot be taken as a sequence of values");
    if (!PySequence_Check(o))
        raise_cannot_convert(o, "Sequence");
}

}  // namespace murk::py
