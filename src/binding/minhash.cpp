// MinHash: the Python surface.
#include "../core/minhash.hpp"
#include "frame.hpp"

namespace murk::py {

using MH = murk::MinHash;

template <>
struct ClassInfo<MH> {
    static constexpr const char* name = "MinHash";
    static inline PyTypeObject* type = nullptr;
};

namespace {

MH make(u64 num_hashes, u64 seed) { return MH(num_hashes, seed); }
void add(MH& m, const Item& it) { m.add_key(it.key); }
void add_hash(MH& m, u64 x) { m.add_hash(x); }
void update(MH& m, const Items& items) { m.add_keys(items.size(), [&](std::size_t i) { return items.at(i); }); }
void update_hashes(MH& m, const Hashes& hs) { m.add_hashes(hs.data(), hs.size()); }
void update_column(MH& m, const Column& c) {
    c.each_block([&](const Items& b) { update(m, b); });
}
double jaccard(const MH& m, const Other<MH>& o) { return m.jaccard(*o); }
std::pair<double, double> jaccard_interval(const MH& m, const Other<MH>& o, double confidence) {
    return m.jaccard_interval(*o, confidence);
}
void merge(MH& m, const Other<MH>& o) { m.merge(*o); }
MH copy(const MH& m) { return m; }
void clear(MH& m) { m.clear(); }
bool is_empty(const MH& m) { return m.is_empty(); }
std::vector<u64> signature(const MH& m) { return {m.signature().begin(), m.signature().end()}; }
double standard_error(const MH& m) { return m.standard_error(); }
Bytes to_bytes(const MH& m) { return {m.to_bytes()}; }
std::string to_json(const MH& m) { return m.to_json(); }
MH from_bytes(const ByteData& d) { return MH::from_bytes(d.s); }
MH from_json(const Text& t) { return MH::from_json(t.s); }
void save(const MH& m, const Text& path) { save_file(std::string(path.s), m.to_bytes()); }
MH load(const Text& path) { return MH::from_bytes(load_file(std::string(path.s), MH::format)); }

MH union_of(const MH& a, const MH& b) {
    MH r(a);
    r.merge(b);
    return r;
}
void merge_in(MH& a, const MH& b) { a.merge(b); }
std::string repr(const MH& m) { return m.repr(); }

constexpr char class_doc[] =
    "MinHash(num_hashes=128, seed=0)\n--\n\n"
    "A probabilistic data structure for estimating set similarity using Jaccard index.\n\n"
    "MinHash creates a compact signature of a set that can be used to estimate\n"
    "the Jaccard similarity between sets without storing the actual elements.";

#define SIGNATURE_DOC "\n--\n\nReturn the signature: num_hashes integers, one per slot, in slot order."

PyMethodDef methods[] = {
    def<"add($self, item)\n--\n\nAdd an item to the MinHash signature.", add>(),
    def<"update($self, items)\n--\n\nAdd multiple items to the signature, releasing the GIL while hashing.",
        update>(),
    def<"update_many($self, items)\n--\n\nAdd multiple items using the optimized batch path.", update>(),
    def<"add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash.", add_hash>(),
    def<"update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes.", update_hashes>(),
    def<UPDATE_COLUMN_DOC("Add"), update_column>(),
    UPDATE_LINES("Add", update),
    def<"jaccard($self, other)\n--\n\nEstimate the Jaccard similarity with another MinHash.\n\n"
        "Returns a value between 0.0 and 1.0.",
        jaccard>(),
    def<"query($self, other)\n--\n\nQuery similarity with another MinHash (alias for jaccard).", jaccard>(),
    def<"jaccard_interval($self, other, confidence=0.95)\n--\n\n"
        "Approximate normal confidence interval for the Jaccard estimate.\n\n"
        "confidence must be one of 0.80, 0.90, 0.95 or 0.99; returns (low, high).",
        jaccard_interval>(),
    def<"merge($self, other)\n--\n\nMerge another MinHash into this one (union of the underlying sets).", merge>(),
    def<"copy($self)\n--\n\nCreate a deep copy of this MinHash.", copy>(),
    def<"clear($self)\n--\n\nClear the signature (reset to initial state).", clear>(),
    def<"is_empty($self)\n--\n\nCheck if the signature is empty (no items added).", is_empty>(),
    def<"get_signature($self)" SIGNATURE_DOC, signature>(),
    def<"signature($self)" SIGNATURE_DOC, signature>(),
    def<"standard_error($self)\n--\n\nGet the standard error of the Jaccard estimate.", standard_error>(),
    def<"to_bytes($self)\n--\n\nSerialize to bytes.", to_bytes>(),
    def<"from_bytes(data)\n--\n\nDeserialize from bytes.", from_bytes>(),
    def<"to_json($self)\n--\n\nSerialize to JSON string.", to_json>(),
    def<"from_json(data)\n--\n\nDeserialize from JSON string.", from_json>(),
    def<"save($self, path)\n--\n\nSave the signature to a file.", save>(),
    def<"load(path)\n--\n\nLoad a signature from a file.", load>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"num_hashes", prop<[](const MH& m) { return m.num_hashes(); }>, nullptr, "Get the number of hash functions.",
     nullptr},
    {"size_in_bytes", prop<[](const MH& m) { return m.size_in_bytes(); }>, nullptr,
     "Get the memory footprint in bytes.", nullptr},
    {"seed", prop<[](const MH& m) { return m.seed(); }>, nullptr, "Get the seed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ClassDef minhash_class() {
    return class_def<MH>(class_doc, methods, properties,
                         {
                             slot(Py_tp_new, &constructor<class_doc, make>),
                             slot(Py_nb_or, &slot_binary<union_of>),
                             slot(Py_nb_inplace_or, &slot_inplace<merge_in>),
                             slot(Py_tp_repr, &slot_repr<repr>),
                         });
}

}  // namespace murk::py
