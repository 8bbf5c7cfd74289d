// ScalableBloomFilter: the Python surface.
#include "../core/scalable_bloom.hpp"
#include "frame.hpp"

namespace murk::py {

using SBF = murk::ScalableBloomFilter;

template <>
struct ClassInfo<SBF> {
    static constexpr const char* name = "ScalableBloomFilter";
    static inline PyTypeObject* type = nullptr;
};

// Slice totals as exact Python ints (they may pass 2^64 in a loaded record).
struct WideInt {
    Wide v;
};

PyObject* to_py(const WideInt& w) {
    if (w.v <= U64_MAX) return PyLong_FromUnsignedLongLong(static_cast<u64>(w.v));
    Ref hi = checked(PyLong_FromUnsignedLongLong(static_cast<u64>(w.v >> 64)));
    Ref lo = checked(PyLong_FromUnsignedLongLong(static_cast<u64>(w.v)));
    Ref shift = checked(PyLong_FromLong(64));
    Ref high = checked(PyNumber_Lshift(hi.get(), shift.get()));
    return PyNumber_Or(high.get(), lo.get());
}

namespace {

SBF make(u64 initial_capacity, double fpr, double growth_ratio, double fpr_ratio, u64 seed) {
    return SBF(initial_capacity, fpr, growth_ratio, fpr_ratio, seed);
}
void add(SBF& f, const Item& it) { f.insert(hash_pair(it.key, f.seed())); }
bool contains(const SBF& f, const Item& it) { return f.contains(hash_pair(it.key, f.seed())); }
void add_hash(SBF& f, u64 h) { f.insert(hash_pair_from_hash(h, f.seed())); }
bool contains_hash(const SBF& f, u64 h) { return f.contains(hash_pair_from_hash(h, f.seed())); }
void update(SBF& f, const Items& items) {
    f.insert_many(items.size(), [&](std::size_t i) { return hash_pair(items.at(i), f.seed()); });
}
void update_hashes(SBF& f, const Hashes& hs) {
    f.insert_many(hs.size(), [&](std::size_t i) { return hash_pair_from_hash(hs[i], f.seed()); });
}
Bools query_many(const SBF& f, const Items& items) {
    Bools r{std::vector<u8>(items.size())};
    f.contains_many(items.size(), [&](std::size_t i) { return hash_pair(items.at(i), f.seed()); },
                    reinterpret_cast<bool*>(r.v.data()));
    return r;
}
Bools query_hashes(const SBF& f, const Hashes& hs) {
    Bools r{std::vector<u8>(hs.size())};
    f.contains_many(hs.size(), [&](std::size_t i) { return hash_pair_from_hash(hs[i], f.seed()); },
                    reinterpret_cast<bool*>(r.v.data()));
    return r;
}
void update_column(SBF& f, const Column& c) {
    c.each_block([&](const Items& b) { update(f, b); });
}
RowBools query_column(const SBF& f, const Column& c) {
    return {c.per_row(c.collect<u8>([&](const Items& b) { return query_many(f, b).v; }))};
}
SBF copy(const SBF& f) { return f; }
void clear(SBF& f) { f.clear(); }
WideInt capacity(const SBF& f) { return {f.capacity()}; }
double false_positive_rate(const SBF& f) { return f.false_positive_rate(); }
const char* health(const SBF& f) { return f.health(); }
Bytes to_bytes(const SBF& f) { return {f.to_bytes()}; }
std::string to_json(const SBF& f) { return f.to_json(); }
SBF from_bytes(const ByteData& d) { return SBF::from_bytes(d.s); }
SBF from_json(const Text& t) { return SBF::from_json(t.s); }
void save(const SBF& f, const Text& path) { save_file(std::string(path.s), f.to_bytes()); }
SBF load(const Text& path) { return SBF::from_bytes(load_file(std::string(path.s), SBF::format)); }

u64 length(const SBF& f) {
    Wide n = f.count();
    return n > U64_MAX ? U64_MAX : static_cast<u64>(n);  // too large for len() either way
}
bool has(const SBF& f, const Item& it) { return contains(f, it); }
std::string repr(const SBF& f) { return f.repr(); }

constexpr char class_doc[] =
    "ScalableBloomFilter(initial_capacity=1000, false_positive_rate=0.01, growth_ratio=2.0, fpr_ratio=0.5, "
    "seed=0)\n--\n\n"
    "A Bloom filter that automatically scales to accommodate more items.\n\n"
    "Unlike a standard Bloom filter, a Scalable Bloom Filter grows dynamically\n"
    "by adding new filter slices when the current one fills up. This allows\n"
    "it to handle an unknown number of items while maintaining the target\n"
    "false positive rate.\n\n"
    "Example:\n"
    "    >>> sbf = ScalableBloomFilter(initial_capacity=1000)\n"
    "    >>> for i in range(100000):\n"
    "    ...     sbf.add(f\"item_{i}\")\n"
    "    >>> \"item_500\" in sbf\n"
    "    True";

PyMethodDef methods[] = {
    def<"add($self, item)\n--\n\nAdd an item to the filter.\n\n"
        "Items that the filter already reports as present are not added again.",
        add>(),
    def<"update($self, items)\n--\n\nAdd multiple items to the filter, releasing the GIL while hashing.", update>(),
    def<"update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path.", update>(),
    def<"add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash.", add_hash>(),
    def<"update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes.", update_hashes>(),
    def<UPDATE_COLUMN_DOC("Add"), update_column>(),
    UPDATE_LINES("Add", update),
    def<"contains($self, item)\n--\n\nCheck if an item might be in the filter.", contains>(),
    def<"query($self, item)\n--\n\nCheck if an item might be in the filter (alias for contains).", contains>(),
    def<"query_many($self, items)\n--\n\nQuery multiple items using the optimized batch path.", query_many>(),
    def<"contains_hash($self, hash)\n--\n\nQuery a caller-provided 64-bit hash.", contains_hash>(),
    def<"query_hashes($self, hashes)\n--\n\nQuery caller-provided 64-bit hashes.", query_hashes>(),
    def<QUERY_COLUMN_DOC("Check membership", "?", "False"), query_column>(),
    QUERY_LINES("Check membership", "?", query_many),
    def<"copy($self)\n--\n\nCreate a deep copy.", copy>(),
    def<"clear($self)\n--\n\nClear all items.\n\nThe filter is left with one fresh slice; its parameters are kept.",
        clear>(),
    def<"capacity($self)\n--\n\nCurrent total capacity across all slices.", capacity>(),
    def<"false_positive_rate($self)\n--\n\nDesign false-positive rate across the currently allocated slices.",
        false_positive_rate>(),
    def<"health($self)\n--\n\nReturn a compact operational health signal.\n\n"
        "\"warning\" when the compound design rate exceeds the target, else \"healthy\".",
        health>(),
    def<"to_bytes($self)\n--\n\nSerialize to bytes.", to_bytes>(),
    def<"from_bytes(data)\n--\n\nDeserialize from bytes.", from_bytes>(),
    def<"to_json($self)\n--\n\nSerialize to a JSON string.", to_json>(),
    def<"from_json(data)\n--\n\nDeserialize from a JSON string.", from_json>(),
    def<"save($self, path)\n--\n\nSave to a file.", save>(),
    def<"load(path)\n--\n\nLoad from a file.", load>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"num_slices", prop<[](const SBF& f) { return f.num_slices(); }>, nullptr, "Number of filter slices.", nullptr},
    {"num_filters", prop<[](const SBF& f) { return f.num_slices(); }>, nullptr,
     "Backward-compatible alias for num_slices.", nullptr},
    {"size_in_bytes", prop<[](const SBF& f) { return f.size_in_bytes(); }>, nullptr, "Total memory footprint in bytes.",
     nullptr},
    {"seed", prop<[](const SBF& f) { return f.seed(); }>, nullptr, "Get the seed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ClassDef scalable_bloom_class() {
    return class_def<SBF>(class_doc, methods, properties,
                          {
                              slot(Py_tp_new, &constructor<class_doc, make>),
                              slot(Py_sq_length, &slot_len<length>),
                              slot(Py_sq_contains, &slot_contains<has>),
                              slot(Py_tp_repr, &slot_repr<repr>),
                          });
}

}  // namespace murk::py
