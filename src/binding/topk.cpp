// TopK: the Python surface. Items are str only and keep their text, so this
// class brings its own item and batch conversions instead of item keys.
#include "../core/topk.hpp"
#include "frame.hpp"

#include <cstdlib>
#include <memory>

namespace murk::py {

using TK = murk::TopK;

template <>
struct ClassInfo<TK> {
    static constexpr const char* name = "TopK";
    static inline PyTypeObject* type = nullptr;
};

// One str item, as the UTF-8 bytes the str already caches. The message names
// the argument itself so that `5 in t` and `t[5]` read like `t.add(5)`.
struct StrItem {
    std::string_view s;
};

template <>
struct Conv<StrItem> {
    static constexpr bool unprefixed = true;
    static StrItem get(PyObject* o) {
        if (!PyUnicode_Check(o))
            raise(PyExc_TypeError, "argument 'item': '" + type_name(o) + "' object cannot be converted to 'PyString'");
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(o, &n);  // lone surrogates raise UnicodeEncodeError
        if (!p) raise();
        return {std::string_view(p, static_cast<std::size_t>(n))};
    }
};

// A sequence of str, copied into one buffer while the GIL is held: the copy
// is made while each text is in cache anyway, the loop without the GIL then
// reads the texts sequentially, and no element needs a reference kept. Each
// text is stored behind its length: one byte below 255, else 255 and 8 bytes.
class StrItems {
public:
    std::size_t size() const { return count_; }

    class Cursor {
    public:
        explicit Cursor(const char* p) : p_(p) {}
        std::string_view operator()() {
            std::size_t n = static_cast<unsigned char>(*p_++);
            if (n == 255) {
                std::memcpy(&n, p_, sizeof n);
                p_ += sizeof n;
            }
            const std::string_view item(p_, n);
            p_ += n;
            return item;
        }

    private:
        const char* p_;
    };
    Cursor cursor() const { return Cursor(buf_.get()); }

    void reserve(std::size_t bytes) { grow(bytes); }

    void push(PyObject* e) {
        if (Py_TYPE(e) != &PyUnicode_Type && !PyUnicode_Check(e)) raise_cannot_convert(e, "PyString");
        Py_ssize_t len;
        const char* p = PyUnicode_AsUTF8AndSize(e, &len);
        if (!p) raise();
        const std::size_t n = static_cast<std::size_t>(len);
        if (cap_ - used_ < n + 1 + sizeof n) grow(std::max(2 * cap_, used_ + n + 1 + sizeof n));
        char* d = buf_.get() + used_;
        if (n < 255) {
            *d++ = static_cast<char>(n);
        } else {
            *d++ = static_cast<char>(255);
            std::memcpy(d, &n, sizeof n);
            d += sizeof n;
        }
        copy(d, p, n);
        used_ = static_cast<std::size_t>(d - buf_.get()) + n;
        ++count_;
    }

private:
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    void grow(std::size_t cap) {
        if (cap <= cap_) return;
        char* p = static_cast<char*>(std::realloc(buf_.get(), cap));
        if (!p) throw std::bad_alloc();
        (void)buf_.release();
        buf_.reset(p);
        cap_ = cap;
    }
    // Most items are words: fixed-size moves instead of a library call
    // (4 to 16 bytes as four overlapping 4-byte moves).
    static void copy(char* d, const char* s, std::size_t n) {
        if (n > 16) {
            std::memcpy(d, s, n);
        } else if (n >= 4) {
            const std::size_t q = (n >> 3) << 2;
            u32 w[4];
            std::memcpy(&w[0], s, 4);
            std::memcpy(&w[1], s + q, 4);
            std::memcpy(&w[2], s + n - 4, 4);
            std::memcpy(&w[3], s + n - 4 - q, 4);
            std::memcpy(d, &w[0], 4);
            std::memcpy(d + q, &w[1], 4);
            std::memcpy(d + n - 4, &w[2], 4);
            std::memcpy(d + n - 4 - q, &w[3], 4);
        } else if (n > 0) {
            d[0] = s[0];
            d[n / 2] = s[n / 2];
            d[n - 1] = s[n - 1];
        }
    }

    std::unique_ptr<char, Free> buf_;
    std::size_t used_ = 0, cap_ = 0, count_ = 0;
};

template <>
struct is_batch<StrItems> : std::true_type {};

template <>
struct Conv<StrItems> {
    static StrItems get(PyObject* o) {
        if (PyUnicode_Check(o)) raise(PyExc_TypeError, "a str cannot be taken as a sequence of values");
        if (!PySequence_Check(o)) raise_cannot_convert(o, "Sequence");
        // Lists and tuples are read in place (nothing here runs Python code,
        // so they cannot change meanwhile); other sequences are iterated once.
        Ref frozen;
        PyObject* seq = o;
        const bool list = PyList_CheckExact(o);
        if (!list && !PyTuple_CheckExact(o)) {
            frozen = checked(PySequence_Tuple(o));
            seq = frozen.get();
        }
        const Py_ssize_t n = list ? PyList_Size(seq) : PyTuple_Size(seq);
        StrItems r;
        r.reserve(static_cast<std::size_t>(n) * 8 + 16);
        // In blocks: fetch a block's element pointers and prefetch the
        // objects, so that the scattered str objects arrive in parallel
        // rather than one cache miss after another.
        constexpr Py_ssize_t BLOCK = 32;
        PyObject* block[BLOCK];
        for (Py_ssize_t start = 0; start < n; start += BLOCK) {
            const Py_ssize_t m = std::min(BLOCK, n - start);
            for (Py_ssize_t j = 0; j < m; ++j) {
                PyObject* e = list ? PyList_GetItem(seq, start + j) : PyTuple_GetItem(seq, start + j);
                if (!e) raise();
                __builtin_prefetch(e);
                __builtin_prefetch(reinterpret_cast<const char*>(e) + 64);
                block[j] = e;
            }
            for (Py_ssize_t j = 0; j < m; ++j) r.push(block[j]);
        }
        return r;
    }
};

// top() and top_with_error() results: views into the tracker, which stays
// borrowed until they have been turned into Python objects.
struct Listing {
    std::vector<std::string_view> items;
    std::vector<u64> counts, errors;
    bool with_error;
};

PyObject* to_py(const Listing& l) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(l.items.size())));
    for (std::size_t i = 0; i < l.items.size(); ++i) {
        Ref item = checked(PyUnicode_FromStringAndSize(l.items[i].data(), static_cast<Py_ssize_t>(l.items[i].size())));
        Ref count = checked(PyLong_FromUnsignedLongLong(l.counts[i]));
        Ref error;
        if (l.with_error) error = checked(PyLong_FromUnsignedLongLong(l.errors[i]));
        Ref t = checked(l.with_error ? PyTuple_Pack(3, item.get(), count.get(), error.get())
                                     : PyTuple_Pack(2, item.get(), count.get()));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), t.release());
    }
    return list.release();
}

namespace {

TK make(u64 k) { return TK(k); }
void add(TK& t, const StrItem& item, u64 count) { t.add(item.s, count); }
void update(TK& t, const StrItems& items) { t.add_many(items.size(), items.cursor()); }
u64 query(const TK& t, const StrItem& item) { return t.query(item.s); }
std::vector<u64> query_many(const TK& t, const StrItems& items) {
    std::vector<u64> out(items.size());
    t.query_many(items.size(), items.cursor(), out.data());
    return out;
}
bool contains(const TK& t, const StrItem& item) { return t.contains(item.s); }

// The texts of a string column are checked as UTF-8 before anything is
// counted: the tracker keeps them and gives them back as str.
bool ascii(Key k) {  // most texts are, and ASCII is UTF-8: eight bytes at a time
    u64 high = 0;
    std::size_t j = 0;
    for (; j + 8 <= k.size; j += 8) {
        u64 w;
        std::memcpy(&w, k.data + j, 8);
        high |= w;
    }
    for (; j < k.size; ++j) high |= static_cast<unsigned char>(k.data[j]);
    return (high & 0x8080808080808080ULL) == 0;
}
void check_texts(const TextColumn& c) {
    c.each_block([](const Items& b) {
        for (std::size_t i = 0; i < b.size(); ++i) {
            const Key k = b.at(i);
            if (ascii(k)) continue;
            const std::string fault = utf8_fault({k.data, k.size});
            if (!fault.empty()) value_error("malformed Arrow column: string is not valid utf8: " + fault);
        }
    });
}
auto texts(const Items& b) {
    return [&b, i = std::size_t{0}]() mutable {
        const Key k = b.at(i++);
        return std::string_view(k.data, k.size);
    };
}

void update_column(TK& t, const TextColumn& c) {
    check_texts(c);
    c.each_block([&](const Items& b) { t.add_many(b.size(), texts(b)); });
}
void add_block(TK& t, const Items& b) { t.add_many(b.size(), texts(b)); }
std::vector<u64> query_block(const TK& t, const Items& b) {
    std::vector<u64> out(b.size());
    t.query_many(b.size(), texts(b), out.data());
    return out;
}
RowCounts query_column(const TK& t, const TextColumn& c) {
    check_texts(c);
    return {c.per_row(c.collect<u64>([&](const Items& b) { return query_block(t, b); }))};
}

// Lines are checked as UTF-8 before anything is counted, as column strings
// are: the whole buffer when it is ASCII, else line by line to name the first
// bad one. A str holding bad bytes cannot be made, so no line can count as one.
void check_lines(const Lines& l) {
    if (ascii({l.data(), l.size()})) return;
    std::size_t line = 0;
    l.each_block([&](const Items& b) {
        for (std::size_t i = 0; i < b.size(); ++i, ++line) {
            const Key k = b[i];
            if (ascii(k)) continue;
            const std::string fault = utf8_fault({k.data, k.size});
            if (!fault.empty()) value_error("line " + std::to_string(line + 1) + " is not valid utf8: " + fault);
        }
    });
}
u64 update_lines(TK& t, const Lines& l) {
    check_lines(l);
    return UpdateLines<add_block>::run(t, l);
}
RowCounts query_lines(const TK& t, const Lines& l) {
    check_lines(l);
    return QueryLines<query_block>::run(t, l);
}

Listing listing(const TK& t, std::optional<u64> n, bool with_error) {
    Listing l{{}, {}, {}, with_error};
    const u64 take = std::min<u64>(n.value_or(t.k()), t.size());
    l.items.reserve(static_cast<std::size_t>(take));
    l.counts.reserve(static_cast<std::size_t>(take));
    if (with_error) l.errors.reserve(static_cast<std::size_t>(take));
    t.for_each(take, [&](std::string_view item, u64 count, u64 error) {
        l.items.push_back(item);
        l.counts.push_back(count);
        if (with_error) l.errors.push_back(error);
    });
    return l;
}
Listing top(const TK& t, std::optional<u64> n) { return listing(t, n, false); }
Listing top_with_error(const TK& t, std::optional<u64> n) { return listing(t, n, true); }

u64 min_count(const TK& t) { return t.min_count(); }
void merge(TK& t, const Other<TK>& o) { t.merge(*o); }
TK copy(const TK& t) { return t; }
void clear(TK& t) { t.clear(); }
Bytes to_bytes(const TK& t) { return {t.to_bytes()}; }
std::string to_json(const TK& t) { return t.to_json(); }
TK from_bytes(const ByteData& d) { return TK::from_bytes(d.s); }
TK from_json(const Text& d) { return TK::from_json(d.s); }
void save(const TK& t, const Text& path) { save_file(std::string(path.s), t.to_bytes()); }
TK load(const Text& path) { return TK::from_bytes(load_file(std::string(path.s), TK::format)); }

u64 length(const TK& t) { return t.size(); }
std::string repr(const TK& t) { return t.repr(); }

constexpr char class_doc[] =
    "TopK(k)\n--\n\n"
    "A probabilistic data structure for finding the most frequent items in a stream.\n\n"
    "This implements the Space-Saving algorithm, which maintains a fixed-size\n"
    "list of items and their approximate frequencies. It guarantees that all\n"
    "items with frequency >= n/k are tracked (where n is total count).";

PyMethodDef methods[] = {
    def<"add($self, item, count=1)\n--\n\nAdd an item to the tracker.", add>(),
    def<"add_count($self, item, count)\n--\n\nAdd an item with a specific count.", add>(),
    def<"update($self, items)\n--\n\nAdd multiple items, releasing the GIL while updating counters.", update>(),
    def<"update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path.", update>(),
    def<"update_column($self, column)\n--\n\n"
        "Add the non-null strings of an Arrow column, read in place.\n\n"
        "column is anything with __arrow_c_stream__ or __arrow_c_array__ (pyarrow,\n"
        "polars, pandas, DuckDB, nanoarrow) holding utf8, large_utf8 or utf8_view\n"
        "values (or a dictionary of them); each value counts as its str.",
        update_column>(),
    def<"update_lines($self, buffer)\n--\n\nCount every line of a buffer, read in place, and return how many\n"
        "lines were added.\n\n" LINES_INPUT_DOC "\n\n"
        "Each line counts as its text and must be UTF-8: a ValueError names the first\n"
        "line that is not, and nothing is counted.",
        update_lines>(),
    def<"query($self, item)\n--\n\nQuery the estimated count of an item.\n\n"
        "Returns 0 if the item is not being tracked.",
        query>(),
    def<"count($self, item)\n--\n\nGet the count of an item (alias for query).", query>(),
    def<"query_many($self, items)\n--\n\nQuery multiple item counts using the optimized batch path.", query_many>(),
    def<"query_column($self, column)\n--\n\n"
        "Query the count of every row of an Arrow string column, read in place.\n\n"
        "Returns a read-only memoryview of format 'Q' with one entry per row\n"
        "(numpy.asarray wraps it without a copy); a null row answers 0.",
        query_column>(),
    def<"query_lines($self, buffer)\n--\n\nQuery the count of every line of a buffer, read in place.\n\n"
        "Returns a read-only memoryview of format 'Q' with one entry per line\n"
        "(numpy.asarray wraps it without a copy).\n\n" LINES_INPUT_DOC "\n\n"
        "Lines must be UTF-8, as for update_lines().",
        query_lines>(),
    def<"contains($self, item)\n--\n\nCheck if an item is being tracked.", contains>(),
    def<"top($self, n=None)\n--\n\nGet the top-k items with their counts.\n\n"
        "Returns a list of (item, count) tuples sorted by count (descending).",
        top>(),
    def<"top_with_error($self, n=None)\n--\n\nGet the top-k items with their counts and error bounds.\n\n"
        "Returns a list of (item, count, error) tuples.\n"
        "True count is in range [count - error, count].",
        top_with_error>(),
    def<"min_count($self)\n--\n\nGet the minimum count among tracked items.", min_count>(),
    def<"merge($self, other)\n--\n\nMerge another TopK into this one.", merge>(),
    def<"copy($self)\n--\n\nCreate a deep copy.", copy>(),
    def<"clear($self)\n--\n\nClear the tracker.", clear>(),
    def<"to_bytes($self)\n--\n\nSerialize to bytes.", to_bytes>(),
    def<"from_bytes(data)\n--\n\nDeserialize from bytes.", from_bytes>(),
    def<"to_json($self)\n--\n\nSerialize to JSON string.", to_json>(),
    def<"from_json(data)\n--\n\nDeserialize from JSON string.", from_json>(),
    def<"save($self, path)\n--\n\nSave the tracker to a file.", save>(),
    def<"load(path)\n--\n\nLoad a tracker from a file.", load>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"k", prop<[](const TK& t) { return t.k(); }>, nullptr, "Maximum number of items to track.", nullptr},
    {"size_in_bytes", prop<[](const TK& t) { return t.size_in_bytes(); }>, nullptr,
     "Memory footprint in bytes (approximate).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ClassDef topk_class() {
    return class_def<TK>(class_doc, methods, properties,
                         {
                             slot(Py_tp_new, &constructor<class_doc, make>),
                             slot(Py_sq_length, &slot_len<length>),
                             slot(Py_sq_contains, &slot_contains<contains>),
                             slot(Py_mp_subscript, &slot_getitem<query>),
                             slot(Py_tp_repr, &slot_repr<repr>),
                         });
}

}  // namespace murk::py
