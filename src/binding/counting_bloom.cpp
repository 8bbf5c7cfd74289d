// CountingBloomFilter: the Python surface.
#include "../core/counting_bloom.hpp"
#include "frame.hpp"

namespace murk::py {

using CBF = murk::CountingBloomFilter;

template <>
struct ClassInfo<CBF> {
    static constexpr const char* name = "CountingBloomFilter";
    static inline PyTypeObject* type = nullptr;
};

namespace {

CBF make(std::optional<u64> expected_items, double fpr, std::optional<u64> num_counters,
         std::optional<u32> num_hashes, u64 seed) {
    return CBF(expected_items, fpr, num_counters, num_hashes, seed);
}
HashPair pair_of(const CBF& f, const Item& it) { return hash_pair(it.key, f.seed()); }

void add(CBF& f, const Item& it) { f.insert(pair_of(f, it)); }
bool contains(const CBF& f, const Item& it) { return f.contains(pair_of(f, it)); }
bool remove(CBF& f, const Item& it) { return f.remove(pair_of(f, it)); }
u32 count(const CBF& f, const Item& it) { return f.min_count(pair_of(f, it)); }
void add_hash(CBF& f, u64 h) { f.insert(hash_pair_from_hash(h, f.seed())); }
bool contains_hash(const CBF& f, u64 h) { return f.contains(hash_pair_from_hash(h, f.seed())); }
void update(CBF& f, const Items& items) {
    f.insert_many(items.size(), [&](std::size_t i) { return hash_pair(items.at(i), f.seed()); });
}
void update_hashes(CBF& f, const Hashes& hs) {
    f.insert_many(hs.size(), [&](std::size_t i) { return hash_pair_from_hash(hs[i], f.seed()); });
}
Bools query_many(const CBF& f, const Items& items) {
    Bools r{std::vector<u8>(items.size())};
    f.contains_many(items.size(), [&](std::size_t i) { return hash_pair(items.at(i), f.seed()); },
                    reinterpret_cast<bool*>(r.v.data()));
    return r;
}
Bools query_hashes(const CBF& f, const Hashes& hs) {
    Bools r{std::vector<u8>(hs.size())};
    f.contains_many(hs.size(), [&](std::size_t i) { return hash_pair_from_hash(hs[i], f.seed()); },
                    reinterpret_cast<bool*>(r.v.data()));
    return r;
}
void update_column(CBF& f, const Column& c) {
    c.each_block([&](const Items& b) { update(f, b); });
}
RowBools query_column(const CBF& f, const Column& c) {
    return {c.per_row(c.collect<u8>([&](const Items& b) { return query_many(f, b).v; }))};
}
void merge(CBF& f, const Other<CBF>& o) { f.merge(*o); }
CBF copy(const CBF& f) { return f; }
void clear(CBF& f) { f.clear(); }
double fill_ratio(const CBF& f) { return f.fill_ratio(); }
const char* health(const CBF& f) { return f.health(); }
Bytes to_bytes(const CBF& f) { return {f.to_bytes()}; }
std::string to_json(const CBF& f) { return f.to_json(); }
CBF from_bytes(const ByteData& d) { return CBF::from_bytes(d.s); }
CBF from_json(const Text& t) { return CBF::from_json(t.s); }
void save(const CBF& f, const Text& path) { save_file(std::string(path.s), f.to_bytes()); }
CBF load(const Text& path) { return CBF::from_bytes(load_file(std::string(path.s), CBF::format)); }

u64 length(const CBF& f) { return f.count(); }
std::string repr(const CBF& f) { return f.repr(); }

constexpr char class_doc[] =
    "CountingBloomFilter(expected_items=None, false_positive_rate=0.01, num_counters=None, num_hashes=None, "
    "seed=0)\n--\n\n"
    "A Bloom filter variant that supports deletion by using counters instead of bits.\n\n"
    "Each position uses a counter (8 bits). This allows items to be removed from\n"
    "the filter, but uses more memory than a standard Bloom filter.";

PyMethodDef methods[] = {
    def<"add($self, item)\n--\n\nAdd an item to the filter.", add>(),
    def<"update($self, items)\n--\n\nAdd multiple items to the filter, releasing the GIL while hashing.", update>(),
    def<"update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path.", update>(),
    def<"add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash.", add_hash>(),
    def<"update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes.", update_hashes>(),
    def<UPDATE_COLUMN_DOC("Add"), update_column>(),
    UPDATE_LINES("Add", update),
    def<"remove($self, item)\n--\n\nRemove one occurrence of an item previously added to the filter.\n\n"
        "Calling remove for an item that was not actually added can create false\n"
        "negatives, because a positive membership result may be a false positive.",
        remove>(),
    def<"contains($self, item)\n--\n\nCheck if an item might be in the filter.", contains>(),
    def<"query($self, item)\n--\n\nCheck if an item might be in the filter (alias for contains).", contains>(),
    def<"query_many($self, items)\n--\n\nQuery multiple items using the optimized batch path.", query_many>(),
    def<"contains_hash($self, hash)\n--\n\nQuery a caller-provided 64-bit hash.", contains_hash>(),
    def<"query_hashes($self, hashes)\n--\n\nQuery caller-provided 64-bit hashes.", query_hashes>(),
    def<QUERY_COLUMN_DOC("Check membership", "?", "False"), query_column>(),
    QUERY_LINES("Check membership", "?", query_many),
    def<"count($self, item)\n--\n\nReturn the minimum backing counter for an item.", count>(),
    def<"merge($self, other)\n--\n\nMerge another Counting Bloom filter into this one.", merge>(),
    def<"copy($self)\n--\n\nCreate a deep copy of this filter.", copy>(),
    def<"clear($self)\n--\n\nClear all items from the filter.", clear>(),
    def<"fill_ratio($self)\n--\n\nFraction of counters that are non-zero.", fill_ratio>(),
    def<"health($self)\n--\n\nReturn a compact operational health signal based on counter occupancy.", health>(),
    def<"to_bytes($self)\n--\n\nSerialize the filter to bytes.", to_bytes>(),
    def<"from_bytes(data)\n--\n\nDeserialize a filter from bytes.", from_bytes>(),
    def<"to_json($self)\n--\n\nSerialize to JSON string.", to_json>(),
    def<"from_json(data)\n--\n\nDeserialize from JSON string.", from_json>(),
    def<"save($self, path)\n--\n\nSave to a file.", save>(),
    def<"load(path)\n--\n\nLoad from a file.", load>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"num_counters", prop<[](const CBF& f) { return f.num_counters(); }>, nullptr, nullptr, nullptr},
    {"num_hashes", prop<[](const CBF& f) { return f.num_hashes(); }>, nullptr, nullptr, nullptr},
    {"size_in_bytes", prop<[](const CBF& f) { return f.size_in_bytes(); }>, nullptr, nullptr, nullptr},
    {"seed", prop<[](const CBF& f) { return f.seed(); }>, nullptr, nullptr, nullptr},
    {"false_positive_rate", prop<[](const CBF& f) { return f.false_positive_rate(); }>, nullptr,
     "Estimated false-positive rate based on the observed fill.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ClassDef counting_bloom_class() {
    return class_def<CBF>(class_doc, methods, properties,
                          {
                              slot(Py_tp_new, &constructor<class_doc, make>),
                              slot(Py_sq_length, &slot_len<length>),
                              slot(Py_sq_contains, &slot_contains<contains>),
                              slot(Py_tp_repr, &slot_repr<repr>),
                          });
}

}  // namespace murk::py
