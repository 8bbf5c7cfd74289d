// KLLSketch: the Python surface.
#include "../core/kll.hpp"
#include "frame.hpp"
#include "numbers.hpp"

namespace murk::py {

using KLL = murk::KLLSketch;

template <>
struct ClassInfo<KLL> {
    static constexpr const char* name = "KLLSketch";
    static inline PyTypeObject* type = nullptr;
};

namespace {

KLL make(u64 k, u64 seed) {
    if (k < KLL::MIN_K || k > KLL::MAX_K) value_error("k must be between 8 and 65535");
    return KLL(static_cast<u32>(k), seed);
}
double normalized_rank_error(const KLL& s, const Flag& pmf) { return KLL::normalized_rank_error(s.k(), pmf.v); }
void merge(KLL& s, const Other<KLL>& o) { s.merge(*o); }
KLL copy(const KLL& s) { return s; }
Bytes to_bytes(const KLL& s) { return {s.to_bytes()}; }
std::string to_json(const KLL& s) { return s.to_json(); }
KLL from_bytes(const ByteData& d) { return KLL::from_bytes(d.s); }
KLL from_json(const Text& t) { return KLL::from_json(t.s); }
void save(const KLL& s, const Text& path) { save_file(std::string(path.s), s.to_bytes()); }
KLL load(const Text& path) { return KLL::from_bytes(load_file(std::string(path.s), KLL::format)); }
u64 length(const KLL& s) { return s.n(); }
std::string repr(const KLL& s) { return s.repr(); }

PyObject* richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_instance<KLL>(a) || !is_instance<KLL>(b) || obj<KLL>(a)->borrow < 0 ||
        obj<KLL>(b)->borrow < 0)
        Py_RETURN_NOTIMPLEMENTED;
    const bool eq = obj<KLL>(a)->value == obj<KLL>(b)->value;
    return PyBool_FromLong(op == Py_EQ ? eq : !eq);
}

constexpr char class_doc[] =
    "KLLSketch(k=200, seed=0)\n--\n\n"
    "A quantile sketch with rank error: median, p99 and any rank of a stream of numbers.\n\n"
    "Keeps about 3k values in compactors of growing weight (Karnin, Lang, Liberty 2016).\n"
    "Any answer's rank is within normalized_rank_error() of the true one with 99%\n"
    "confidence; the error is a share of n, so it is small for the median and large\n"
    "relative to what is left in the far tail. k is 8 to 65535; seed drives the\n"
    "compaction's coin flips, so the same values in the same order give the same sketch.\n"
    "Sketches of any k merge; the result has the smaller k.";

PyMethodDef methods[] = {
    QUANTILE_SKETCH_METHODS(KLL),
    def<"normalized_rank_error($self, pmf=False)\n--\n\n"
        "The rank error bound for this k at 99% confidence, as a share of n.\n\n"
        "With pmf=False, for a single rank or quantile query; with pmf=True, for all the\n"
        "intervals of a pmf() or cdf() at once.",
        normalized_rank_error>(),
    def<"merge($self, other)\n--\n\nAdd another KLLSketch's values (any k; this sketch takes the smaller).", merge>(),
    def<"copy($self)\n--\n\nCreate a deep copy of this sketch.", copy>(),
    def<"to_bytes($self)\n--\n\nSerialize to bytes.", to_bytes>(),
    def<"from_bytes(data)\n--\n\nDeserialize from bytes.", from_bytes>(),
    def<"to_json($self)\n--\n\nSerialize to JSON string.", to_json>(),
    def<"from_json(data)\n--\n\nDeserialize from JSON string.", from_json>(),
    def<"save($self, path)\n--\n\nSave the sketch to a file (atomically).", save>(),
    def<"load(path)\n--\n\nLoad a sketch from a file.", load>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    QUANTILE_SKETCH_PROPERTIES(KLL),
    {"k", prop<[](const KLL& s) { return u64{s.k()}; }>, nullptr, "The accuracy parameter k.", nullptr},
    {"num_retained", prop<[](const KLL& s) { return s.num_retained(); }>, nullptr, "Values the sketch holds.",
     nullptr},
    {"num_levels", prop<[](const KLL& s) { return u64{s.num_levels()}; }>, nullptr, "Compactor levels.", nullptr},
    {"size_in_bytes", prop<[](const KLL& s) { return s.size_in_bytes(); }>, nullptr,
     "Bytes of state: 8 per retained value, 4 per level, and 36 for k, n, min, max and the coin.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ClassDef kll_class() {
    ClassDef d = class_def<KLL>(class_doc, methods, properties,
                                {
                                    slot(Py_tp_new, &constructor<class_doc, make>),
                                    slot(Py_sq_length, &slot_len<length>),
                                    slot(Py_tp_repr, &slot_repr<repr>),
                                    slot(Py_tp_richcompare, &richcompare),
                                });
    d.module = "murk";
    return d;
}

}  // namespace murk::py
