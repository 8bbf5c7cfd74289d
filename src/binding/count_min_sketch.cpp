// CountMinSketch: the Python surface.
#include "../core/count_min_sketch.hpp"
#include "frame.hpp"

namespace murk::py {

using CMS = murk::CountMinSketch;

template <>
struct ClassInfo<CMS> {
    static constexpr const char* name = "CountMinSketch";
    static inline PyTypeObject* type = nullptr;
};

// An item whose reduction to a key waits until the arguments after it have
// been converted: add(item, count) checks the count before calling str().
struct LateItem {
    PyObject* o;
    Item key() const {
        Item it;
        to_key(o, it);
        return it;
    }
};
template <>
struct Conv<LateItem> {
    static constexpr bool unprefixed = true;
    static LateItem get(PyObject* o) { return {o}; }
};

namespace {

CMS make(std::optional<u64> width, std::optional<u64> depth, std::optional<double> error_rate,
         std::optional<double> confidence, u64 seed) {
    return CMS(width, depth, error_rate, confidence, seed);
}
void add(CMS& s, const LateItem& item, u64 count) {
    Item it = item.key();
    s.add(it.key, count);
}
void add_hash(CMS& s, u64 h, u64 count) { s.add(h, count); }
void update(CMS& s, const Items& items) {
    s.add_many(items.size(), [&](std::size_t i) { return items.at(i); });
}
void update_hashes(CMS& s, const Hashes& hs) {
    s.add_many(hs.size(), [&](std::size_t i) { return hs[i]; });
}
u64 query(const CMS& s, const Item& it) { return s.estimate(it.key); }
u64 query_hash(const CMS& s, u64 h) { return s.estimate(h); }
std::vector<u64> query_many(const CMS& s, const Items& items) {
    std::vector<u64> r(items.size());
    s.estimate_many(items.size(), [&](std::size_t i) { return items.at(i); }, r.data());
    return r;
}
std::vector<u64> query_hashes(const CMS& s, const Hashes& hs) {
    std::vector<u64> r(hs.size());
    s.estimate_many(hs.size(), [&](std::size_t i) { return hs[i]; }, r.data());
    return r;
}
void update_column(CMS& s, const Column& c) {
    c.each_block([&](const Items& b) { update(s, b); });
}
RowCounts query_column(const CMS& s, const Column& c) {
    return {c.per_row(c.collect<u64>([&](const Items& b) { return query_many(s, b); }))};
}
void merge(CMS& s, const Other<CMS>& o) { s.merge(*o); }
u64 inner_product(const CMS& s, const Other<CMS>& o) { return s.inner_product(*o); }
double error_rate(const CMS& s) { return s.error_rate(); }
double confidence(const CMS& s) { return s.confidence(); }
u64 error_bound(const CMS& s) { return s.error_bound(); }
CMS copy(const CMS& s) { return s; }
void clear(CMS& s) { s.clear(); }
Bytes to_bytes(const CMS& s) { return {s.to_bytes()}; }
std::string to_json(const CMS& s) { return s.to_json(); }
CMS from_bytes(const ByteData& d) { return CMS::from_bytes(d.s); }
CMS from_json(const Text& t) { return CMS::from_json(t.s); }
void save(const CMS& s, const Text& path) { save_file(std::string(path.s), s.to_bytes()); }
CMS load(const Text& path) { return CMS::from_bytes(load_file(std::string(path.s), CMS::format)); }

u64 length(const CMS& s) { return s.total_count(); }
u64 getitem(const CMS& s, const Item& it) { return s.estimate(it.key); }
std::string repr(const CMS& s) { return s.repr(); }

constexpr char class_doc[] =
    "CountMinSketch(width=None, depth=None, error_rate=None, confidence=None, seed=0)\n--\n\n"
    "A probabilistic data structure for frequency estimation in data streams.\n\n"
    "Count-Min Sketch provides approximate frequency counts for items with\n"
    "guaranteed error bounds. It may overestimate counts but never underestimates.";

PyMethodDef methods[] = {
    def<"add($self, item, count=1)\n--\n\nAdd an item to the sketch.", add>(),
    def<"add_count($self, item, count)\n--\n\nAdd an item with a specific count.", add>(),
    def<"update($self, items)\n--\n\nAdd multiple items to the sketch, releasing the GIL while hashing.", update>(),
    def<"update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path.", update>(),
    def<"add_hash($self, hash, count=1)\n--\n\nAdd a caller-provided 64-bit hash.", add_hash>(),
    def<"update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes.", update_hashes>(),
    def<UPDATE_COLUMN_DOC("Count"), update_column>(),
    UPDATE_LINES("Count", update),
    def<"query($self, item)\n--\n\nQuery the estimated frequency of an item.", query>(),
    def<"count($self, item)\n--\n\nGet estimated frequency (alias for query).", query>(),
    def<"query_many($self, items)\n--\n\nQuery multiple items using the optimized batch path.", query_many>(),
    def<"query_hash($self, hash)\n--\n\nQuery a caller-provided 64-bit hash.", query_hash>(),
    def<"query_hashes($self, hashes)\n--\n\nQuery caller-provided 64-bit hashes.", query_hashes>(),
    def<QUERY_COLUMN_DOC("Estimate the count", "Q", "0"), query_column>(),
    QUERY_LINES("Estimate the count", "Q", query_many),
    def<"merge($self, other)\n--\n\nMerge another Count-Min Sketch into this one.", merge>(),
    def<"inner_product($self, other)\n--\n\nEstimate the inner product with another sketch.", inner_product>(),
    def<"error_rate($self)\n--\n\nGet the error rate (epsilon).", error_rate>(),
    def<"confidence($self)\n--\n\nGet the confidence level (1 - delta).", confidence>(),
    def<"error_bound($self)\n--\n\nMaximum additive error under the sketch's configured guarantee.", error_bound>(),
    def<"copy($self)\n--\n\nCreate a deep copy of this sketch.", copy>(),
    def<"clear($self)\n--\n\nClear the sketch.", clear>(),
    def<"to_bytes($self)\n--\n\nSerialize to bytes.", to_bytes>(),
    def<"from_bytes(data)\n--\n\nDeserialize from bytes.", from_bytes>(),
    def<"to_json($self)\n--\n\nSerialize to JSON string.", to_json>(),
    def<"from_json(data)\n--\n\nDeserialize from JSON string.", from_json>(),
    def<"save($self, path)\n--\n\nSave the sketch to a file.", save>(),
    def<"load(path)\n--\n\nLoad a sketch from a file.", load>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"width", prop<[](const CMS& s) { return s.width(); }>, nullptr, "Get the width (number of counters per row).",
     nullptr},
    {"depth", prop<[](const CMS& s) { return s.depth(); }>, nullptr, "Get the depth (number of rows/hash functions).",
     nullptr},
    {"size_in_bytes", prop<[](const CMS& s) { return s.size_in_bytes(); }>, nullptr, "Get the memory footprint in bytes.",
     nullptr},
    {"seed", prop<[](const CMS& s) { return s.seed(); }>, nullptr, "Get the seed.", nullptr},
    {"total_count", prop<[](const CMS& s) { return s.total_count(); }>, nullptr, "Get the total count of all items.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ClassDef count_min_sketch_class() {
    return class_def<CMS>(class_doc, methods, properties,
                          {
                              slot(Py_tp_new, &constructor<class_doc, make>),
                              slot(Py_sq_length, &slot_len<length>),
                              slot(Py_mp_length, &slot_len<length>),
                              slot(Py_mp_subscript, &slot_getitem<getitem>),
                              slot(Py_tp_repr, &slot_repr<repr>),
                          });
}

}  // namespace murk::py
