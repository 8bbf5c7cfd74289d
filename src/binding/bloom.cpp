// BloomFilter: the Python surface.
#include "../core/bloom.hpp"
#include "frame.hpp"

namespace murk::py {

using BF = murk::BloomFilter;

template <>
struct ClassInfo<BF> {
    static constexpr const char* name = "BloomFilter";
    static inline PyTypeObject* type = nullptr;
};

namespace {

BF make(std::optional<u64> expected_items, double fpr, std::optional<u64> num_bits, std::optional<u32> num_hashes,
        u64 seed) {
    return BF(expected_items, fpr, num_bits, num_hashes, seed);
}
void add(BF& f, const Item& it) { f.insert(hash_pair(it.key, f.seed())); }
bool contains(const BF& f, const Item& it) { return f.contains(hash_pair(it.key, f.seed())); }
void add_hash(BF& f, u64 h) { f.insert(hash_pair_from_hash(h, f.seed())); }
bool contains_hash(const BF& f, u64 h) { return f.contains(hash_pair_from_hash(h, f.seed())); }
void update(BF& f, const Items& items) {
    f.insert_many(items.size(), [&](std::size_t i) { return hash_pair(items.at(i), f.seed()); });
}
void update_hashes(BF& f, const Hashes& hs) {
    f.insert_many(hs.size(), [&](std::size_t i) { return hash_pair_from_hash(hs[i], f.seed()); });
}
Bools query_many(const BF& f, const Items& items) {
    Bools r{std::vector<u8>(items.size())};
    f.contains_many(items.size(), [&](std::size_t i) { return hash_pair(items.at(i), f.seed()); },
                    reinterpret_cast<bool*>(r.v.data()));
    return r;
}
Bools query_hashes(const BF& f, const Hashes& hs) {
    Bools r{std::vector<u8>(hs.size())};
    f.contains_many(hs.size(), [&](std::size_t i) { return hash_pair_from_hash(hs[i], f.seed()); },
                    reinterpret_cast<bool*>(r.v.data()));
    return r;
}
void update_column(BF& f, const Column& c) {
    c.each_block([&](const Items& b) { update(f, b); });
}
RowBools query_column(const BF& f, const Column& c) {
    return {c.per_row(c.collect<u8>([&](const Items& b) { return query_many(f, b).v; }))};
}
void merge(BF& f, const Other<BF>& o) { f.merge(*o); }
BF intersection(const BF& f, const Other<BF>& o) { return f.intersection(*o); }
BF copy(const BF& f) { return f; }
void clear(BF& f) { f.clear(); }
u64 bit_count(const BF& f) { return f.bit_count(); }
double fill_ratio(const BF& f) { return f.fill_ratio(); }
double estimate_count(const BF& f) { return f.estimate_count(); }
const char* health(const BF& f) { return f.health(); }
bool is_saturated(const BF& f) { return f.is_saturated(); }
Bytes to_bytes(const BF& f) { return {f.to_bytes()}; }
std::string to_json(const BF& f) { return f.to_json(); }
BF from_bytes(const ByteData& d) { return BF::from_bytes(d.s); }
BF from_json(const Text& t) { return BF::from_json(t.s); }
void save(const BF& f, const Text& path) { save_file(std::string(path.s), f.to_bytes()); }
BF load(const Text& path) { return BF::from_bytes(load_file(std::string(path.s), BF::format)); }

BF union_of(const BF& a, const BF& b) {
    BF r(a);
    r.merge(b);
    return r;
}
BF intersect(const BF& a, const BF& b) { return a.intersection(b); }
void merge_in(BF& a, const BF& b) { a.merge(b); }
u64 length(const BF& f) { return f.count(); }
bool has(const BF& f, const Item& it) { return contains(f, it); }
std::string repr(const BF& f) { return f.repr(); }

constexpr char class_doc[] =
    "BloomFilter(expected_items=None, false_positive_rate=0.01, num_bits=None, num_hashes=None, seed=0)\n--\n\n"
    "A space-efficient probabilistic set with no false negatives.\n\n"
    "Size it either from expected_items and false_positive_rate, or directly with\n"
    "num_bits (and optionally num_hashes). Items are str, bytes, other byte\n"
    "sequences, or any object keyed by its string representation.";

#define ITEM_NOTE "\n\nStrings and bytes are hashed directly. Other objects use their string representation."
#define CONTAINS_NOTE                                                   \
    "\n\nReturns True if the item might be in the set (possible false positive).\n" \
    "Returns False if the item is definitely not in the set."

PyMethodDef methods[] = {
    def<"add($self, item)\n--\n\nAdd an item to the filter." ITEM_NOTE, add>(),
    def<"update($self, items)\n--\n\nAdd multiple items to the filter, releasing the GIL while hashing.", update>(),
    def<"update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path.", update>(),
    def<"add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash.", add_hash>(),
    def<"update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes.", update_hashes>(),
    def<UPDATE_COLUMN_DOC("Add"), update_column>(),
    UPDATE_LINES("Add", update),
    def<"contains($self, item)\n--\n\nCheck if an item might be in the filter." CONTAINS_NOTE, contains>(),
    def<"query($self, item)\n--\n\nCheck if an item might be in the filter (alias for contains)." CONTAINS_NOTE,
        contains>(),
    def<"query_many($self, items)\n--\n\nQuery multiple items using the optimized batch path.", query_many>(),
    def<"contains_hash($self, hash)\n--\n\nQuery a caller-provided 64-bit hash.", contains_hash>(),
    def<"query_hashes($self, hashes)\n--\n\nQuery caller-provided 64-bit hashes.", query_hashes>(),
    def<QUERY_COLUMN_DOC("Check membership", "?", "False"), query_column>(),
    QUERY_LINES("Check membership", "?", query_many),
    def<"merge($self, other)\n--\n\nMerge another Bloom filter into this one (union).\n\n"
        "Both filters must have the same configuration (num_bits, num_hashes, seed).",
        merge>(),
    def<"intersection($self, other)\n--\n\nReturn a new filter holding the bits set in both filters.", intersection>(),
    def<"copy($self)\n--\n\nCreate a deep copy of this filter.", copy>(),
    def<"clear($self)\n--\n\nClear all items from the filter.", clear>(),
    def<"bit_count($self)\n--\n\nNumber of bits set to 1.", bit_count>(),
    def<"fill_ratio($self)\n--\n\nFraction of bits set to 1.", fill_ratio>(),
    def<"estimate_count($self)\n--\n\nEstimate the number of distinct items from the fill ratio.\n\n"
        "This can be more accurate than `len()` after merging filters.",
        estimate_count>(),
    def<"health($self)\n--\n\nReturn a compact operational health signal based on the fill ratio.", health>(),
    def<"is_saturated($self)\n--\n\nTrue when at least 80% of the bits are set.", is_saturated>(),
    def<"to_bytes($self)\n--\n\nSerialize the Bloom filter to bytes (compact binary format).", to_bytes>(),
    def<"from_bytes(data)\n--\n\nDeserialize a Bloom filter from bytes.", from_bytes>(),
    def<"to_json($self)\n--\n\nSerialize the Bloom filter to a JSON string.", to_json>(),
    def<"from_json(data)\n--\n\nDeserialize a Bloom filter from a JSON string.", from_json>(),
    def<"save($self, path)\n--\n\nSave the Bloom filter to a file.", save>(),
    def<"load(path)\n--\n\nLoad a Bloom filter from a file.", load>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"num_bits", prop<[](const BF& f) { return f.num_bits(); }>, nullptr, "Number of bits in the filter.", nullptr},
    {"num_hashes", prop<[](const BF& f) { return f.num_hashes(); }>, nullptr, "Number of hash functions.", nullptr},
    {"seed", prop<[](const BF& f) { return f.seed(); }>, nullptr, "Hashing seed.", nullptr},
    {"size_in_bytes", prop<[](const BF& f) { return f.size_in_bytes(); }>, nullptr, "Size of the bit array in bytes.",
     nullptr},
    {"false_positive_rate", prop<[](const BF& f) { return f.false_positive_rate(); }>, nullptr,
     "Estimated false-positive rate from the current fill.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ClassDef bloom_class() {
    return class_def<BF>(class_doc, methods, properties,
                         {
                             slot(Py_tp_new, &constructor<class_doc, make>),
                             slot(Py_sq_length, &slot_len<length>),
                             slot(Py_sq_contains, &slot_contains<has>),
                             slot(Py_nb_or, &slot_binary<union_of>),
                             slot(Py_nb_and, &slot_binary<intersect>),
                             slot(Py_nb_inplace_or, &slot_inplace<merge_in>),
                             slot(Py_tp_repr, &slot_repr<repr>),
                         });
}

}  // namespace murk::py
