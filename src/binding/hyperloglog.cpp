// HyperLogLog: the Python surface.
#include "../core/hyperloglog.hpp"
#include "frame.hpp"

namespace murk::py {

using HLL = murk::HyperLogLog;

template <>
struct ClassInfo<HLL> {
    static constexpr const char* name = "HyperLogLog";
    static inline PyTypeObject* type = nullptr;
};

namespace {

HLL make(u8 precision, u64 seed) { return HLL(precision, seed); }
void add(HLL& h, const Item& it) { h.insert(h.hash_of(it.key)); }
void add_hash(HLL& h, u64 x) { h.insert(h.hash_of_hash(x)); }
void update(HLL& h, const Items& items) {
    h.insert_many(items.size(), [&](std::size_t i) { return h.hash_of(items.at(i)); });
}
void update_hashes(HLL& h, const Hashes& hs) {
    h.insert_many(hs.size(), [&](std::size_t i) { return h.hash_of_hash(hs[i]); });
}
void update_column(HLL& h, const Column& c) {
    c.each_block([&](const Items& b) { update(h, b); });
}
double cardinality(const HLL& h) { return h.estimate(); }
std::pair<double, double> confidence_interval(const HLL& h, double confidence) {
    return h.confidence_interval(confidence);
}
double relative_error(const HLL& h) { return h.relative_error(); }
void merge(HLL& h, const Other<HLL>& o) { h.merge(*o); }
HLL copy(const HLL& h) { return h; }
void clear(HLL& h) { h.clear(); }
Bytes to_bytes(const HLL& h) { return {h.to_bytes()}; }
std::string to_json(const HLL& h) { return h.to_json(); }
HLL from_bytes(const ByteData& d) { return HLL::from_bytes(d.s); }
HLL from_json(const Text& t) { return HLL::from_json(t.s); }
void save(const HLL& h, const Text& path) { save_file(std::string(path.s), h.to_bytes()); }
HLL load(const Text& path) { return HLL::from_bytes(load_file(std::string(path.s), HLL::format)); }

HLL union_of(const HLL& a, const HLL& b) {
    HLL r(a);
    r.merge(b);
    return r;
}
void merge_in(HLL& a, const HLL& b) { a.merge(b); }
u64 length(const HLL& h) { return h.length(); }
std::string repr(const HLL& h) { return h.repr(); }

constexpr char class_doc[] =
    "HyperLogLog(precision=14, seed=0)\n--\n\n"
    "A probabilistic data structure for cardinality estimation.\n\n"
    "HyperLogLog can estimate the number of distinct elements in a multiset\n"
    "using a small, fixed amount of memory. It provides ~2% typical error\n"
    "with just a few kilobytes of memory.";

PyMethodDef methods[] = {
    def<"add($self, item)\n--\n\nAdd an item to the HyperLogLog counter.", add>(),
    def<"update($self, items)\n--\n\nAdd multiple items to the counter, releasing the GIL while hashing.", update>(),
    def<"update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path.", update>(),
    def<"add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash.", add_hash>(),
    def<"update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes.", update_hashes>(),
    def<UPDATE_COLUMN_DOC("Add"), update_column>(),
    UPDATE_LINES("Add", update),
    def<"cardinality($self)\n--\n\nEstimate the cardinality (number of distinct elements).", cardinality>(),
    def<"query($self)\n--\n\nQuery the estimated cardinality (alias for cardinality).", cardinality>(),
    def<"confidence_interval($self, confidence=0.95)\n--\n\n"
        "Approximate normal confidence interval for the cardinality estimate.\n\n"
        "confidence must be one of 0.80, 0.90, 0.95 or 0.99; returns (low, high).",
        confidence_interval>(),
    def<"relative_error($self)\n--\n\nGet relative error (as a percentage).", relative_error>(),
    def<"merge($self, other)\n--\n\nMerge another HyperLogLog into this one.\n\n"
        "After merging, this counter will estimate the cardinality of the union.",
        merge>(),
    def<"copy($self)\n--\n\nCreate a deep copy of this counter.", copy>(),
    def<"clear($self)\n--\n\nClear the counter.", clear>(),
    def<"to_bytes($self)\n--\n\nSerialize to bytes.", to_bytes>(),
    def<"from_bytes(data)\n--\n\nDeserialize from bytes.", from_bytes>(),
    def<"to_json($self)\n--\n\nSerialize to JSON string.", to_json>(),
    def<"from_json(data)\n--\n\nDeserialize from JSON string.", from_json>(),
    def<"save($self, path)\n--\n\nSave the counter to a file.", save>(),
    def<"load(path)\n--\n\nLoad a counter from a file.", load>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"estimate", prop<[](const HLL& h) { return h.estimate(); }>, nullptr, "Estimated cardinality as a property.",
     nullptr},
    {"precision", prop<[](const HLL& h) { return u64{h.precision()}; }>, nullptr,
     "Get the precision (number of bits for indexing).", nullptr},
    {"size_in_bytes", prop<[](const HLL& h) { return h.size_in_bytes(); }>, nullptr,
     "Get the memory footprint in bytes.", nullptr},
    {"seed", prop<[](const HLL& h) { return h.seed(); }>, nullptr, "Get the seed.", nullptr},
    {"standard_error", prop<[](const HLL& h) { return h.standard_error(); }>, nullptr,
     "Get the standard error of the estimate.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ClassDef hyperloglog_class() {
    return class_def<HLL>(class_doc, methods, properties,
                          {
                              slot(Py_tp_new, &constructor<class_doc, make>),
                              slot(Py_sq_length, &slot_len<length>),
                              slot(Py_nb_or, &slot_binary<union_of>),
                              slot(Py_nb_inplace_or, &slot_inplace<merge_in>),
                              slot(Py_tp_repr, &slot_repr<repr>),
                          });
}

}  // namespace murk::py
