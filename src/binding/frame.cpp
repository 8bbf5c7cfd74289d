#include "frame.hpp"

#include <algorithm>

#include <bit>
#include <cstdint>
#include <list>
#include <new>
#include <stdexcept>

namespace murk::py {

// ---------------------------------------------------------------- errors

void raise(PyObject* type, const std::string& msg) {
    PyErr_SetString(type, msg.c_str());
    throw PyErrSet{};
}

std::string type_name(PyObject* o) {
    Ref name(PyType_GetName(Py_TYPE(o)));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
    if (!s) {
        PyErr_Clear();
        return "object";
    }
    return std::string(s, static_cast<std::size_t>(n));
}

void raise_cannot_convert(PyObject* o, const char* target) {
    std::string msg = "'";
    msg += type_name(o);
    msg += "' object cannot be converted to '";
    msg += target;
    msg += "'";
    raise(PyExc_TypeError, msg);
}

void set_python_error() {
    try {
        throw;
    } catch (const PyErrSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const arrow::TypeError& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const Error& e) {
        PyErr_SetString(e.kind == Error::Overflow ? PyExc_OverflowError : PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t(type), v(value), b(tb);
    Ref text(v ? PyObject_Str(v.get()) : nullptr);
    const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (!s) PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, s ? s : "");
}

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

// ---------------------------------------------------------------- scalars

u64 to_u64(PyObject* o) {
    Ref idx = checked(PyNumber_Index(o));
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise();
    return v;
}

u32 to_u32(PyObject* o) {
    u64 v = to_u64(o);
    if (v > 0xffffffffULL) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<u32>(v);
}

u8 to_u8(PyObject* o) {
    Ref idx = checked(PyNumber_Index(o));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (v == -1 && !overflow && PyErr_Occurred()) raise();
    if (overflow || v < 0 || v > 255) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<u8>(v);
}

double to_double(PyObject* o) {
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) raise();
    return v;
}

static void require_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "a str cannot be taken as a sequence of values");
    if (!PySequence_Check(o))
        raise_cannot_convert(o, "Sequence");
}

Hashes::~Hashes() {
    if (held_) PyBuffer_Release(&view_);
}

namespace {
// Native little-endian 8-byte integers, as struct formats spell them.
int int64_format(const char* f) {  // 1 unsigned, -1 signed, 0 neither
    if constexpr (std::endian::native != std::endian::little) return 0;
    if (!f) return 0;
    if (*f == '<' || *f == '=' || *f == '@') ++f;
    if (f[0] == 0 || f[1] != 0) return 0;
    if (f[0] == 'Q' || f[0] == 'L') return 1;
    if (f[0] == 'q' || f[0] == 'l') return -1;
    return 0;
}
}  // namespace

// Takes a one-dimensional C-contiguous buffer of 8-byte integers in place;
// false (no error set) for anything else, which then goes the iteration way.
bool Hashes::try_buffer(PyObject* o) {
    if (PyBytes_Check(o) || PyByteArray_Check(o) || !PyObject_CheckBuffer(o)) return false;
    Py_buffer b;
    if (PyObject_GetBuffer(o, &b, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
        PyErr_Clear();
        return false;
    }
    const int kind = b.ndim == 1 && b.itemsize == 8 ? int64_format(b.format) : 0;
    if (kind == 0) {
        PyBuffer_Release(&b);
        return false;
    }
    view_ = b;
    held_ = true;
    n_ = static_cast<std::size_t>(b.len / 8);
    if (reinterpret_cast<std::uintptr_t>(b.buf) % alignof(u64) == 0) {
        p_ = static_cast<const u64*>(b.buf);
    } else {  // a misaligned view: copy once rather than load through a bad pointer
        v.resize(n_);
        std::memcpy(v.data(), b.buf, n_ * 8);
        use_copy();
    }
    if (kind < 0) {
        for (std::size_t i = 0; i < n_; ++i) {
            const auto x = static_cast<long long>(p_[i]);
            if (x < 0) {  // the error converting that int gives
                Ref neg = checked(PyLong_FromLongLong(x));
                (void)PyLong_AsUnsignedLongLong(neg.get());
                raise();
            }
        }
    }
    return true;
}

void to_hashes(PyObject* o, Hashes& out) {
    require_sequence(o);
    if (out.try_buffer(o)) return;
    Py_ssize_t hint = PyObject_Size(o);
    if (hint < 0) PyErr_Clear();
    else out.v.reserve(static_cast<std::size_t>(hint));
    Ref it = checked(PyObject_GetIter(o));
    while (Ref e{PyIter_Next(it.get())}) out.v.push_back(to_u64(e.get()));
    if (PyErr_Occurred()) raise();
    out.use_copy();
}

void to_text(PyObject* o, Text& out) {
    if (!PyUnicode_Check(o)) raise_cannot_convert(o, "str");
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (!p) raise();
    Py_INCREF(o);
    out.owner = Ref(o);
    out.s = std::string_view(p, static_cast<std::size_t>(n));
}

void to_bytes(PyObject* o, ByteData& out) {
    if (PyBytes_Check(o)) {
        char* p;
        Py_ssize_t n;
        if (PyBytes_AsStringAndSize(o, &p, &n) < 0) raise();
        Py_INCREF(o);
        out.owner = Ref(o);
        out.s = std::string_view(p, static_cast<std::size_t>(n));
        return;
    }
    require_sequence(o);
    if (PyObject_CheckBuffer(o)) {
        Py_buffer v;
        if (PyObject_GetBuffer(o, &v, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
            bool plain = v.itemsize == 1 && (v.format == nullptr || std::strcmp(v.format, "B") == 0);
            if (plain) out.buf.assign(static_cast<const char*>(v.buf), static_cast<const char*>(v.buf) + v.len);
            PyBuffer_Release(&v);
            if (plain) {
                out.s = std::string_view(out.buf.data(), out.buf.size());
                return;
            }
        } else {
            PyErr_Clear();
        }
    }
    Ref it = checked(PyObject_GetIter(o));
    while (Ref e{PyIter_Next(it.get())}) out.buf.push_back(static_cast<char>(to_u8(e.get())));
    if (PyErr_Occurred()) raise();
    out.s = std::string_view(out.buf.data(), out.buf.size());
}

// ---------------------------------------------------------------- results

PyObject* to_py(bool v) { return PyBool_FromLong(v); }
PyObject* to_py(u64 v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_py(u32 v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_py(int v) { return PyLong_FromLong(v); }
PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
PyObject* to_py(const std::string& v) { return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())); }
PyObject* to_py(const char* v) { return PyUnicode_FromString(v); }
PyObject* to_py(const Bytes& v) { return PyBytes_FromStringAndSize(v.s.data(), static_cast<Py_ssize_t>(v.s.size())); }
PyObject* to_py(None) { Py_RETURN_NONE; }

PyObject* to_py(const Bools& v) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.v.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.v.size(); ++i) {
        PyObject* b = v.v[i] ? Py_True : Py_False;
        Py_INCREF(b);
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), b);
    }
    return list;
}

PyObject* to_py(const std::vector<u64>& v) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* x = PyLong_FromUnsignedLongLong(v[i]);
        if (!x) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), x);
    }
    return list;
}

// ---------------------------------------------------------------- binding

static PyObject* default_value(std::string_view lit) {
    if (lit == "None") Py_RETURN_NONE;
    if (lit == "True") Py_RETURN_TRUE;
    if (lit == "False") Py_RETURN_FALSE;
    std::string s(lit);
    if (s.find_first_of(".eE") != std::string::npos || s == "inf" || s == "nan") {
        Ref str = checked(PyUnicode_FromString(s.c_str()));
        return PyFloat_FromString(str.get());
    }
    return PyLong_FromString(s.c_str(), nullptr, 10);
}

Signature parse_signature(const char* doc, const char* cls) {
    Signature sig;
    std::string_view d(doc);
    std::size_t open = d.find('('), close = d.find(')');
    sig.name = std::string(d.substr(0, open));
    sig.fn = std::string(cls) + "." + (sig.name == cls ? std::string("__new__") : sig.name) + "()";
    std::string_view inner = d.substr(open + 1, close - open - 1);
    while (!inner.empty()) {
        std::size_t comma = inner.find(',');
        std::string_view p = inner.substr(0, comma);
        inner = comma == std::string_view::npos ? std::string_view() : inner.substr(comma + 1);
        while (!p.empty() && p.front() == ' ') p.remove_prefix(1);
        if (p.empty() || p.front() == '$') continue;
        std::size_t eq = p.find('=');
        sig.params.emplace_back(p.substr(0, eq));
        if (eq == std::string_view::npos) {
            sig.defaults.push_back(nullptr);
            ++sig.required;
        } else {
            PyObject* v = default_value(p.substr(eq + 1));
            if (!v) raise();
            sig.defaults.push_back(v);  // kept for the life of the process
        }
    }
    return sig;
}

static std::string quoted_list(const std::vector<std::string>& names) {
    std::string s;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) s += i + 1 == names.size() ? " and " : ", ";
        s += "'" + names[i] + "'";
    }
    return s;
}

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const std::size_t np = sig.params.size();
    if (static_cast<std::size_t>(nargs) > np) {
        std::string m = std::to_string(nargs);
        std::string verb = nargs == 1 ? " was given" : " were given";
        if (sig.required == np)
            raise(PyExc_TypeError, sig.fn + " takes " + std::to_string(np) + " positional arguments but " + m + verb);
        raise(PyExc_TypeError, sig.fn + " takes from " + std::to_string(sig.required) + " to " + std::to_string(np) +
                                   " positional arguments but " + m + verb);
    }
    for (std::size_t i = 0; i < np; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        Py_ssize_t kn;
        const char* ks = PyUnicode_AsUTF8AndSize(key, &kn);
        if (!ks) raise();
        std::string_view kv(ks, static_cast<std::size_t>(kn));
        std::size_t j = 0;
        while (j < np && sig.params[j] != kv) ++j;
        if (j == np) raise(PyExc_TypeError, sig.fn + " got an unexpected keyword argument '" + std::string(kv) + "'");
        if (out[j]) raise(PyExc_TypeError, sig.fn + " got multiple values for argument '" + std::string(kv) + "'");
        out[j] = args[nargs + k];
    }
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) missing.push_back(sig.params[i]);
    if (!missing.empty())
        raise(PyExc_TypeError, sig.fn + " missing " + std::to_string(missing.size()) + " required positional argument" +
                                   (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
    for (std::size_t i = sig.required; i < np; ++i)
        if (!out[i]) out[i] = sig.defaults[i];
}

PyObject* new_from_tuple(PyObject* args, PyObject* kwargs,
                         PyObject* (*fast)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
    Py_ssize_t nargs = PyTuple_Size(args);
    Py_ssize_t nkw = kwargs ? PyDict_Size(kwargs) : 0;
    std::vector<PyObject*> all(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) all[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    Ref names;
    if (nkw > 0) {
        names = Ref(PyTuple_New(nkw));
        if (!names) return nullptr;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SetItem(names.get(), k, key);
            all[static_cast<std::size_t>(nargs + k)] = value;
            ++k;
        }
    }
    return fast(nullptr, all.data(), nargs, names.get());
}

// ---------------------------------------------------------------- types

int add_class(PyObject* module, ClassDef def) {
    std::string qualified = std::string(def.module) + "." + def.name;
    static std::list<std::string> names;  // the type keeps pointing at its spec's name
    names.push_back(qualified);
    std::vector<PyType_Slot> slots = def.slots;
    slots.push_back({Py_tp_doc, const_cast<char*>(def.doc)});
    slots.push_back({Py_tp_methods, def.methods});
    if (def.getset) slots.push_back({Py_tp_getset, def.getset});
    slots.push_back(slot(Py_tp_dealloc, def.dealloc));
    slots.push_back({0, nullptr});
    PyType_Spec spec{names.back().c_str(), static_cast<int>(def.basicsize), 0, Py_TPFLAGS_DEFAULT, slots.data()};
    PyObject* type = PyType_FromSpec(&spec);
    if (!type) return -1;
    *def.type_out = reinterpret_cast<PyTypeObject*>(type);
    Py_INCREF(type);  // the static pointer keeps one reference for the process
    if (PyModule_AddObject(module, def.name, type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyModule_AddObject(module, "__all__", all) < 0) return -1;
        Py_INCREF(all);
    }
    Ref all_ref(all);
    Ref name = checked(PyUnicode_FromString(def.name));
    return PyList_Append(all, name.get());
}

PyObject* create_module(PyModuleDef& def, std::initializer_list<ClassDef (*)()> classes) {
    // Per process, not per interpreter: a sub-interpreter must not get a second set of types.
    static std::vector<const PyModuleDef*> created;
    if (std::find(created.begin(), created.end(), &def) != created.end()) {
        PyErr_Format(PyExc_ImportError, "%s can only be initialised once per process", def.m_name);
        return nullptr;
    }
    Ref m(PyModule_Create(&def));
    if (!m) return nullptr;
    try {
        for (auto make : classes)
            if (add_class(m.get(), make()) < 0) return nullptr;
        created.push_back(&def);
    } catch (...) {
        set_python_error();
        return nullptr;
    }
    return m.release();
}

}  // namespace murk::py
