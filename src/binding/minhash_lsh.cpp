// MinHashLSH: the Python surface (module murk._sketches).
#include "../core/minhash_lsh.hpp"

#include <charconv>
#include <memory>

#include "../core/minhash.hpp"
#include "frame.hpp"

namespace murk::py {

using LSH = murk::MinHashLSH;
using MH = murk::MinHash;

template <>
struct ClassInfo<LSH> {
    static constexpr const char* name = "MinHashLSH";
    static inline PyTypeObject* type = nullptr;
};

// _murk's MinHash type, taken from that module at import: both extension
// modules are built from one tree, so its objects have the Obj<MH> layout.
template <>
struct ClassInfo<MH> {
    static constexpr const char* name = "MinHash";
    static inline PyTypeObject* type = nullptr;
};

// ---------------------------------------------------------------- keys

namespace {

// Appends the bytes of a str or int key to out and returns its tag. Other
// integers (numpy.int64 and the like) are keyed by their __index__ value and
// come back as int; bool is refused, since True would come back as 1.
u8 key_bytes(PyObject* o, std::string& out) {
    if (PyUnicode_Check(o)) {
        Py_ssize_t n;
        if (const char* p = PyUnicode_AsUTF8AndSize(o, &n)) {
            out.append(p, static_cast<std::size_t>(n));
            return lsh::TAG_STR;
        }
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise();
        PyErr_Clear();  // lone surrogates: kept as their three-byte forms so the key comes back as given
        Ref b = checked(PyUnicode_AsEncodedString(o, "utf-8", "surrogatepass"));
        char* p2;
        if (PyBytes_AsStringAndSize(b.get(), &p2, &n) < 0) raise();
        out.append(p2, static_cast<std::size_t>(n));
        return lsh::TAG_STR;
    }
    if (PyLong_Check(o) && !PyBool_Check(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && !overflow && PyErr_Occurred()) raise();
        if (!overflow) {
            char buf[24];
            auto r = std::to_chars(buf, buf + sizeof buf, v);
            out.append(buf, r.ptr);
            return lsh::TAG_INT;
        }
        Ref text = checked(PyNumber_ToBase(o, 10));
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(text.get(), &n);
        if (!p) raise();
        out.append(p, static_cast<std::size_t>(n));
        return lsh::TAG_INT;
    }
    if (!PyLong_Check(o) && PyIndex_Check(o)) {
        Ref i = checked(PyNumber_Index(o));
        return key_bytes(i.get(), out);
    }
    raise(PyExc_TypeError, "expected str or int, not " + type_name(o));
}

PyObject* key_object(lsh::KeyRef k) {
    const char* p = k.bytes.data();
    const std::size_t n = k.bytes.size();
    if (k.tag == lsh::TAG_STR) return PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), "surrogatepass");
    long long v;
    if (n <= 18 && std::from_chars(p, p + n, v).ec == std::errc()) return PyLong_FromLongLong(v);
    std::string text(k.bytes);
    return PyLong_FromString(text.c_str(), nullptr, 10);
}

// Room to reserve for a batch: the size of a sized container, else nothing.
std::size_t size_hint(PyObject* o) {
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(n);
}

std::string key_repr(lsh::KeyRef k) {
    Ref o = checked(key_object(k));
    Ref r = checked(PyObject_Repr(o.get()));
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(r.get(), &n);
    if (!p) raise();
    return std::string(p, static_cast<std::size_t>(n));
}

}  // namespace

// One key argument.
struct LshKey {
    PyObject* obj = nullptr;  // borrowed: the argument itself
    u8 tag = 0;
    std::string bytes;
    lsh::KeyRef ref() const { return {tag, bytes}; }
};

template <>
struct Conv<LshKey> {
    static LshKey get(PyObject* o) {
        LshKey k;
        k.obj = o;
        k.tag = key_bytes(o, k.bytes);
        return k;
    }
};

template <>
struct Conv<KeyBatch> {
    static KeyBatch get(PyObject* o) {
        if (PyUnicode_Check(o)) raise(PyExc_TypeError, "expected an iterable of keys, not str");
        KeyBatch b;
        const std::size_t hint = size_hint(o);
        b.tags.reserve(hint);
        b.lengths.reserve(hint);
        b.offsets.reserve(hint);
        Ref it = checked(PyObject_GetIter(o));
        while (Ref e{PyIter_Next(it.get())}) {
            const std::size_t at = b.bytes.size();
            b.tags.push_back(key_bytes(e.get(), b.bytes));
            if (b.bytes.size() - at > 0xFFFFFFFFu) raise(PyExc_ValueError, "a key is longer than 4 GiB");
            b.offsets.push_back(at);
            b.lengths.push_back(static_cast<u32>(b.bytes.size() - at));
        }
        if (PyErr_Occurred()) raise();
        return b;
    }
};

// MinHash objects of a batch, each held and borrowed shared until the call
// returns, so that their signatures can be read with the GIL released.
struct MinHashes {
    std::vector<PyObject*> objs;
    std::vector<const MH*> sigs;
    MinHashes() = default;
    MinHashes(MinHashes&& o) noexcept : objs(std::move(o.objs)), sigs(std::move(o.sigs)) { o.objs.clear(); }
    MinHashes(const MinHashes&) = delete;
    ~MinHashes() {
        for (PyObject* p : objs) {
            --obj<MH>(p)->borrow;
            Py_DECREF(p);
        }
    }
    std::size_t size() const { return sigs.size(); }
};

template <>
struct Conv<MinHashes> {
    static MinHashes get(PyObject* o) {
        MinHashes m;
        const std::size_t hint = size_hint(o);
        m.objs.reserve(hint);
        m.sigs.reserve(hint);
        Ref it = checked(PyObject_GetIter(o));
        while (Ref e{PyIter_Next(it.get())}) {
            if (!is_instance<MH>(e.get())) raise_cannot_convert(e.get(), "MinHash");
            int& flag = obj<MH>(e.get())->borrow;
            if (flag < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
            m.sigs.push_back(&obj<MH>(e.get())->value);
            m.objs.push_back(nullptr);
            m.objs.back() = e.release();  // m now owns the reference and the shared borrow
            ++flag;
        }
        if (PyErr_Occurred()) raise();
        return m;
    }
};

// A 2-D array of signatures read in place through the buffer protocol. The
// view stays at one address (exporters may point its fields into itself).
struct Signatures {
    struct Release {
        void operator()(Py_buffer* v) const {
            PyBuffer_Release(v);
            delete v;
        }
    };
    std::unique_ptr<Py_buffer, Release> view;
    const u64* data = nullptr;
    std::size_t rows = 0, cols = 0;
    const u64* row(std::size_t i) const { return data + i * cols; }
};

template <>
struct Conv<Signatures> {
    static Signatures get(PyObject* o) {
        if (!PyObject_CheckBuffer(o))
            raise(PyExc_TypeError, "expected a 2-D uint64 array of signatures, not " + type_name(o));
        Signatures s;
        auto* view = new Py_buffer{};
        if (PyObject_GetBuffer(o, view, PyBUF_RECORDS_RO) < 0) {
            delete view;
            raise();
        }
        s.view.reset(view);
        const Py_buffer& v = *view;
        const char* f = v.format ? v.format : "B";
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        const bool is_unsigned = (*f == 'Q' || *f == 'L') && f[1] == '\0';
        const bool is_signed = (*f == 'q' || *f == 'l') && f[1] == '\0';
        if (v.itemsize != 8 || !(is_unsigned || is_signed))
            raise(PyExc_TypeError, std::string("expected an array of uint64 signatures, not format '") +
                                       (v.format ? v.format : "B") + "' with " + std::to_string(v.itemsize) +
                                       "-byte items");
        if (v.ndim != 2)
            raise(PyExc_ValueError, "expected a 2-D array (one row per document), not " + std::to_string(v.ndim) +
                                        "-D");
        if (!PyBuffer_IsContiguous(&v, 'C'))
            raise(PyExc_ValueError, "the signature array must be C-contiguous (see numpy.ascontiguousarray)");
        s.rows = static_cast<std::size_t>(v.shape[0]);
        s.cols = static_cast<std::size_t>(v.shape[1]);
        s.data = static_cast<const u64*>(v.buf);
        if (is_signed) {
            const std::size_t n = s.rows * s.cols;
            for (std::size_t i = 0; i < n; ++i)
                if (static_cast<std::int64_t>(s.data[i]) < 0)
                    raise(PyExc_ValueError, "signature values must not be negative");
        }
        return s;
    }
};

template <>
struct is_batch<KeyBatch> : std::true_type {};
template <>
struct is_batch<MinHashes> : std::true_type {};
template <>
struct is_batch<Signatures> : std::true_type {};

// The weights pair; None stands for (0.5, 0.5).
struct Weights {
    double fp = 0.5, fn = 0.5;
};

template <>
struct Conv<Weights> {
    static Weights get(PyObject* o) {
        Weights w;
        if (o == Py_None) return w;
        if (PyUnicode_Check(o) || !PySequence_Check(o)) raise_cannot_convert(o, "tuple[float, float]");
        Py_ssize_t n = PySequence_Size(o);
        if (n < 0) raise();
        if (n != 2) raise(PyExc_ValueError, "weights must be two non-negative numbers that sum to 1");
        Ref a = checked(PySequence_GetItem(o, 0)), b = checked(PySequence_GetItem(o, 1));
        w.fp = to_double(a.get());
        w.fn = to_double(b.get());
        return w;
    }
};

// ---------------------------------------------------------------- results

// Keys found for one or more queries, turned into Python objects with the
// index still borrowed.
struct Found {
    const LSH* index;
    std::vector<u32> ids;
    std::vector<std::size_t> starts;  // one list per query: ids[starts[i]:starts[i+1]]; empty for a single query
};

namespace {

PyObject* key_list(const LSH& x, const u32* ids, std::size_t n) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* k = key_object(x.key(ids[i]));
        if (!k) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), k);
    }
    return list.release();
}

}  // namespace

PyObject* to_py(const Found& f) {
    if (f.starts.empty()) return key_list(*f.index, f.ids.data(), f.ids.size());
    const std::size_t q = f.starts.size() - 1;
    Ref outer = checked(PyList_New(static_cast<Py_ssize_t>(q)));
    for (std::size_t i = 0; i < q; ++i) {
        PyObject* inner = key_list(*f.index, f.ids.data() + f.starts[i], f.starts[i + 1] - f.starts[i]);
        if (!inner) return nullptr;
        PyList_SetItem(outer.get(), static_cast<Py_ssize_t>(i), inner);
    }
    return outer.release();
}

// Outcome of a batch insert; a refused key is reported with its repr.
struct Inserted {
    lsh::BatchCheck check;
    const KeyBatch* keys;
};

PyObject* to_py(const Inserted& r) {
    if (r.check) Py_RETURN_NONE;
    try {
        const std::string k = key_repr((*r.keys)[r.check.index]);
        raise(PyExc_ValueError, r.check.kind == lsh::BatchCheck::Present ? "key " + k + " is already in the index"
                                                                          : "key " + k + " is given twice");
    } catch (PyErrSet&) {
        return nullptr;
    }
}

// ---------------------------------------------------------------- methods

namespace {

LSH make(double threshold, u64 num_hashes, const Weights& w, std::optional<u64> bands, std::optional<u64> rows,
         u64 seed) {
    return LSH(threshold, num_hashes, w.fp, w.fn, bands, rows, seed);
}

void insert(LSH& x, const LshKey& k, const Other<MH>& m) {
    x.check_minhash(m->num_hashes(), m->seed(), "insert");
    if (!x.insert(k.ref(), m->signature().data())) raise(PyExc_ValueError, "key " + key_repr(k.ref()) + " is already in the index");
}

void remove(LSH& x, const LshKey& k) {
    if (!x.remove(k.ref())) {
        PyErr_SetObject(PyExc_KeyError, k.obj);
        raise();
    }
}

bool contains(const LSH& x, const LshKey& k) { return x.contains(k.ref()); }

Found query(const LSH& x, const Other<MH>& m) {
    x.check_minhash(m->num_hashes(), m->seed(), "query");
    Found f{&x, {}, {}};
    x.query(m->signature().data(), f.ids);
    return f;
}

void check_lengths(std::size_t keys, std::size_t values, const char* what) {
    if (keys != values)
        value_error(std::string("keys and ") + what + " differ in length (" + std::to_string(keys) + " vs " +
                    std::to_string(values) + ")");
}

void check_columns(const LSH& x, const Signatures& s) {
    if (s.cols != x.num_hashes())
        value_error("signatures have " + std::to_string(s.cols) + " columns, expected num_hashes = " +
                    std::to_string(x.num_hashes()));
}

Inserted insert_many(LSH& x, const KeyBatch& keys, const MinHashes& ms) {
    check_lengths(keys.size(), ms.size(), "minhashes");
    for (const MH* m : ms.sigs) x.check_minhash(m->num_hashes(), m->seed(), "insert");
    return {x.insert_many(keys, [&](std::size_t i) { return ms.sigs[i]->signature().data(); }), &keys};
}

Inserted insert_signatures(LSH& x, const KeyBatch& keys, const Signatures& s) {
    check_columns(x, s);
    check_lengths(keys.size(), s.rows, "signature rows");
    return {x.insert_many(keys, [&](std::size_t i) { return s.row(i); }), &keys};
}

template <class SigAt>
Found query_all(const LSH& x, std::size_t n, SigAt&& sig) {
    Found f{&x, {}, {0}};
    f.starts.reserve(n + 1);
    x.query_many(n, sig, [&](std::size_t, const std::vector<u32>& ids) {
        f.ids.insert(f.ids.end(), ids.begin(), ids.end());
        f.starts.push_back(f.ids.size());
    });
    return f;
}

Found query_many(const LSH& x, const MinHashes& ms) {
    for (const MH* m : ms.sigs) x.check_minhash(m->num_hashes(), m->seed(), "query");
    return query_all(x, ms.size(), [&](std::size_t i) { return ms.sigs[i]->signature().data(); });
}

Found query_signatures(const LSH& x, const Signatures& s) {
    check_columns(x, s);
    return query_all(x, s.rows, [&](std::size_t i) { return s.row(i); });
}

void merge(LSH& x, const Other<LSH>& o) {
    if (auto k = x.merge(*o)) raise(PyExc_ValueError, "Cannot merge: key " + key_repr(*k) + " is in both indexes");
}

LSH copy(const LSH& x) { return x; }
void clear(LSH& x) { x.clear(); }
Bytes to_bytes(const LSH& x) { return {x.to_bytes()}; }
LSH from_bytes(const ByteData& d) { return LSH::from_bytes(d.s); }
void save(const LSH& x, const Text& path) { save_file(std::string(path.s), x.to_bytes()); }
LSH load(const Text& path) { return LSH::from_bytes(load_file(std::string(path.s), LSH::format)); }
std::string repr(const LSH& x) { return x.repr(); }
u64 length(const LSH& x) { return x.size(); }

constexpr char class_doc[] =
    "MinHashLSH(threshold=0.9, num_hashes=128, weights=(0.5, 0.5), bands=None, rows=None, seed=0)\n--\n\n"
    "An index of MinHash signatures for finding near-duplicates.\n\n"
    "Each signature is cut into bands of rows slots; a query returns the keys\n"
    "that share at least one whole band with it, so pairs whose Jaccard\n"
    "similarity is above threshold are found with high probability without\n"
    "comparing every pair. num_hashes and seed are those of the MinHashes the\n"
    "index holds. Without bands and rows the banding minimises\n"
    "weights[0] * (false-positive probability) + weights[1] * (false-negative\n"
    "probability), integrated below and above threshold. Keys are str or int\n"
    "(bool is refused) and come back as given; 5 and \"5\" are different keys.\n"
    "Other integers with __index__ (numpy.int64) are keyed as int. Above 8192\n"
    "hashes, bands and rows must be given.";

// The constructor binds weights with None for its default: the frame's
// signature parser reads no tuple literals, and None stands for (0.5, 0.5).
constexpr char ctor_doc[] =
    "MinHashLSH(threshold=0.9, num_hashes=128, weights=None, bands=None, rows=None, seed=0)\n--\n\n";

PyMethodDef methods[] = {
    def<"insert($self, key, minhash)\n--\n\nIndex minhash under key (str or int).\n\n"
        "A key already in the index raises ValueError; a MinHash with another num_hashes or seed too.",
        insert>(),
    def<"insert_many($self, keys, minhashes)\n--\n\n"
        "Index every minhash under the key at the same position, releasing the GIL while hashing.\n\n"
        "Nothing is inserted when any key is present or repeats, or any MinHash does not match.",
        insert_many>(),
    def<"insert_signatures($self, keys, signatures)\n--\n\n"
        "Index the rows of a 2-D uint64 array (one row of num_hashes slots per key), read in place.\n\n"
        "The array must be C-contiguous; signed 64-bit arrays are accepted when no value is negative.",
        insert_signatures>(),
    def<"remove($self, key)\n--\n\nRemove key from the index; KeyError when it is not there.", remove>(),
    def<"query($self, minhash)\n--\n\nKeys sharing at least one band with minhash, in no particular order.",
        query>(),
    def<"query_many($self, minhashes)\n--\n\nOne query() result per MinHash, releasing the GIL while searching.",
        query_many>(),
    def<"query_signatures($self, signatures)\n--\n\n"
        "One query() result per row of a 2-D uint64 array of signatures, read in place.",
        query_signatures>(),
    def<"merge($self, other)\n--\n\nAdd every key of another index with the same num_hashes, seed, bands "
        "and rows.\n\nA key present in both raises ValueError and changes nothing.",
        merge>(),
    def<"copy($self)\n--\n\nCreate a deep copy of this index.", copy>(),
    def<"clear($self)\n--\n\nRemove every key (the parameters stay).", clear>(),
    def<"to_bytes($self)\n--\n\nSerialize to bytes (checksummed envelope, magic MKLH).", to_bytes>(),
    def<"from_bytes(data)\n--\n\nDeserialize from bytes; every field is validated.", from_bytes>(),
    def<"save($self, path)\n--\n\nSave the index to a file (written atomically).", save>(),
    def<"load(path)\n--\n\nLoad an index from a file.", load>(),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* weights(PyObject* self, void*) {
    try {
        SharedBorrow b(obj<LSH>(self)->borrow);
        return to_py(obj<LSH>(self)->value.weights());
    } catch (...) {
        set_python_error();
        return nullptr;
    }
}

PyGetSetDef properties[] = {
    {"threshold", prop<[](const LSH& x) { return x.threshold(); }>, nullptr, "The similarity threshold.", nullptr},
    {"num_hashes", prop<[](const LSH& x) { return x.num_hashes(); }>, nullptr,
     "num_hashes of the MinHashes the index holds.", nullptr},
    {"seed", prop<[](const LSH& x) { return x.seed(); }>, nullptr, "seed of the MinHashes the index holds.",
     nullptr},
    {"bands", prop<[](const LSH& x) { return x.bands(); }>, nullptr, "Number of bands.", nullptr},
    {"rows", prop<[](const LSH& x) { return x.rows(); }>, nullptr, "Slots per band.", nullptr},
    {"weights", weights, nullptr, "The (false positive, false negative) weights.", nullptr},
    {"size_in_bytes", prop<[](const LSH& x) { return x.size_in_bytes(); }>, nullptr,
     "Memory held by the index, in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

// Takes _murk's MinHash type; refuses one built with another object layout.
int import_minhash_type() {
    Ref murk_module(PyImport_ImportModule("_murk"));
    if (!murk_module) return -1;
    Ref type(PyObject_GetAttrString(murk_module.get(), "MinHash"));
    if (!type) return -1;
    Ref size(PyObject_GetAttrString(type.get(), "__basicsize__"));
    if (!size) return -1;
    if (!PyType_Check(type.get()) || PyLong_AsSsize_t(size.get()) != static_cast<Py_ssize_t>(sizeof(Obj<MH>))) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, "murk._sketches and _murk come from different builds");
        return -1;
    }
    ClassInfo<MH>::type = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
    return 0;
}

ClassDef minhash_lsh_class() {
    ClassDef d = class_def<LSH>(class_doc, methods, properties,
                                {
                                    slot(Py_tp_new, &constructor<ctor_doc, make>),
                                    slot(Py_sq_contains, &slot_contains<contains>),
                                    slot(Py_sq_length, &slot_len<length>),
                                    slot(Py_tp_repr, &slot_repr<repr>),
                                });
    d.module = "murk";
    return d;
}

}  // namespace murk::py
