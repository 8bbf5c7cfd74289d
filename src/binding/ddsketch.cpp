// DDSketch: the Python surface.
#include "../core/ddsketch.hpp"
#include "frame.hpp"
#include "numbers.hpp"

namespace murk::py {

using DD = murk::DDSketch;

template <>
struct ClassInfo<DD> {
    static constexpr const char* name = "DDSketch";
    static inline PyTypeObject* type = nullptr;
};

// The (low, high] rank intervals whose quantiles lost the guarantee.
struct RankIntervals {
    std::vector<std::pair<double, double>> v;
};

PyObject* to_py(const RankIntervals& r) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(r.v.size())));
    for (std::size_t i = 0; i < r.v.size(); ++i) PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_py(r.v[i]));
    return list.release();
}

namespace {

DD make(double relative_accuracy, u64 max_buckets) { return DD(relative_accuracy, max_buckets); }
void merge(DD& s, const Other<DD>& o) { s.merge(*o); }
DD copy(const DD& s) { return s; }
void clear(DD& s) { s.clear(); }
Bytes to_bytes(const DD& s) { return {s.to_bytes()}; }
std::string to_json(const DD& s) { return s.to_json(); }
DD from_bytes(const ByteData& d) { return DD::from_bytes(d.s); }
DD from_json(const Text& t) { return DD::from_json(t.s); }
void save(const DD& s, const Text& path) { save_file(std::string(path.s), s.to_bytes()); }
DD load(const Text& path) { return DD::from_bytes(load_file(std::string(path.s), DD::format)); }
u64 length(const DD& s) { return s.n(); }
std::string repr(const DD& s) { return s.repr(); }
double mean(const DD& s) { return s.mean(); }
RankIntervals collapsed_ranks(const DD& s) { return {s.collapsed_ranks()}; }

PyObject* richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_instance<DD>(a) || !is_instance<DD>(b) || obj<DD>(a)->borrow < 0 ||
        obj<DD>(b)->borrow < 0)
        Py_RETURN_NOTIMPLEMENTED;
    bool eq;
    try {
        eq = obj<DD>(a)->value == obj<DD>(b)->value;
    } catch (...) {
        set_python_error();
        return nullptr;
    }
    return PyBool_FromLong(op == Py_EQ ? eq : !eq);
}

constexpr char class_doc[] =
    "DDSketch(relative_accuracy=0.01, max_buckets=2048)\n--\n\n"
    "A quantile sketch with relative value error (Masson, Rim, Lee 2019).\n\n"
    "Every quantile it answers is within relative_accuracy of the true value\n"
    "(|x - x_true| <= relative_accuracy * |x_true|), the far tails included, as long\n"
    "as no collapse reached it. Values go to logarithmic buckets, negative ones to a\n"
    "mirrored store; zeros and infinities are counted apart and answered exactly.\n"
    "When a store would span more than max_buckets buckets, its lowest buckets fold\n"
    "into one: collapsed and collapsed_ranks say which quantiles lost the guarantee\n"
    "(the high tail never does). min, max, n, sum and mean are exact. Merging adds\n"
    "bucket counts, so the merge of two sketches equals the sketch of all the values.\n"
    "relative_accuracy is 1e-06 to below 1; max_buckets 1 to 16777216.";

PyMethodDef methods[] = {
    QUANTILE_SKETCH_METHODS(DD),
    def<"merge($self, other)\n--\n\n"
        "Add another DDSketch's values. The relative accuracies must be equal (ValueError\n"
        "otherwise); this sketch keeps its max_buckets. Merging sketches of the same\n"
        "parameters gives exactly the sketch of all their values.",
        merge>(),
    def<"copy($self)\n--\n\nCreate a deep copy of this sketch.", copy>(),
    def<"clear($self)\n--\n\nForget every value.", clear>(),
    def<"to_bytes($self)\n--\n\nSerialize to bytes (the same values give the same bytes, in any order).", to_bytes>(),
    def<"from_bytes(data)\n--\n\nDeserialize from bytes.", from_bytes>(),
    def<"to_json($self)\n--\n\nSerialize to JSON string.", to_json>(),
    def<"from_json(data)\n--\n\nDeserialize from JSON string.", from_json>(),
    def<"save($self, path)\n--\n\nSave the sketch to a file (atomically).", save>(),
    def<"load(path)\n--\n\nLoad a sketch from a file.", load>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    QUANTILE_SKETCH_PROPERTIES(DD),
    {"relative_accuracy", prop<[](const DD& s) { return s.relative_accuracy(); }>, nullptr,
     "The relative accuracy alpha every guaranteed quantile keeps.", nullptr},
    {"max_buckets", prop<[](const DD& s) { return s.max_buckets(); }>, nullptr,
     "The most buckets a store spans before its lowest ones collapse.", nullptr},
    {"sum", prop<[](const DD& s) { return s.sum(); }>, nullptr,
     "The exact sum of the values, rounded once (0.0 when empty).", nullptr},
    {"mean", prop<mean>, nullptr, "The mean of the values (ValueError when empty).", nullptr},
    {"num_buckets", prop<[](const DD& s) { return s.num_buckets(); }>, nullptr, "Non-empty buckets.", nullptr},
    {"collapsed", prop<[](const DD& s) { return s.collapsed_count(); }>, nullptr,
     "Values in collapsed buckets: 0 means every quantile keeps the guarantee.", nullptr},
    {"collapsed_ranks", prop<collapsed_ranks>, nullptr,
     "The rank intervals (low, high] whose quantiles may be off by more than the relative\n"
     "accuracy: quantile(q) for low < q <= high. At most two (the collapsed bucket of the\n"
     "negative store, the lowest values, and that of the positive store); empty when\n"
     "nothing collapsed. quantile(0) and quantile(1) are always exact.",
     nullptr},
    {"size_in_bytes", prop<[](const DD& s) { return s.size_in_bytes(); }>, nullptr,
     "Bytes of state: the bucket windows and the fixed fields (the exact sum among them).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ClassDef ddsketch_class() {
    ClassDef d = class_def<DD>(class_doc, methods, properties,
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
