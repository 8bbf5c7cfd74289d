// ThetaSketch: the Python surface (module murk._sketches).
#include "../core/theta_sketch.hpp"

#include "../core/confidence.hpp"

#include "frame.hpp"

namespace murk::py {

using TS = murk::ThetaSketch;

template <>
struct ClassInfo<TS> {
    static constexpr const char* name = "ThetaSketch";
    static inline PyTypeObject* type = nullptr;
};

// The operands of union() and intersection(): each held and borrowed shared
// until the call returns, so the work runs with the GIL released.
struct ThetaSketches {
    std::vector<Ref> objs;
    std::vector<SharedBorrow> borrows;
    std::vector<const TS*> ptrs;
};

template <>
struct is_batch<ThetaSketches> : std::true_type {};

template <>
struct Conv<ThetaSketches> {
    static ThetaSketches get(PyObject* o) {
        ThetaSketches s;
        Ref it = checked(PyObject_GetIter(o));
        while (Ref e{PyIter_Next(it.get())}) {
            if (!is_instance<TS>(e.get())) raise_cannot_convert(e.get(), "ThetaSketch");
            s.borrows.emplace_back(obj<TS>(e.get())->borrow);
            s.ptrs.push_back(&obj<TS>(e.get())->value);
            s.objs.push_back(std::move(e));
        }
        if (PyErr_Occurred()) raise();
        return s;
    }
};

// lg_k: any int outside 4..26, negative or huge, is a ValueError.
struct LgK {
    u8 v;
};

template <>
struct Conv<LgK> {
    static LgK get(PyObject* o) {
        if (!PyLong_Check(o)) {
            if (!PyIndex_Check(o)) raise_cannot_convert(o, "int");
            Ref i = checked(PyNumber_Index(o));  // numpy integers and the like
            return get(i.get());
        }
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && !overflow && PyErr_Occurred()) raise();
        if (overflow || v < TS::MIN_LG_K || v > TS::MAX_LG_K) value_error("lg_k must be between 4 and 26");
        return {static_cast<u8>(v)};
    }
};

struct Jaccard {
    std::array<double, 3> v;
};

PyObject* to_py(const Jaccard& j) {
    Ref a(to_py(j.v[0])), b(to_py(j.v[1])), c(to_py(j.v[2]));
    return PyTuple_Pack(3, a.get(), b.get(), c.get());
}

namespace {

constexpr char REFUSED[] =
    "this ThetaSketch is the result of an intersection or a difference (or a union that took one in) and "
    "accepts no updates: its theta was set by items outside its set, so an item added now could be "
    "miscounted; update the input sketches and combine them again";

// Batch calls run without the GIL: the frame turns this exception into TypeError.
void require_updatable(const TS& t) {
    if (!t.updatable()) throw arrow::TypeError(REFUSED);
}

double z_of(u64 num_std) {
    if (num_std < 1 || num_std > 3) value_error("num_std must be 1, 2 or 3");
    return static_cast<double>(num_std);
}

TS make(LgK lg_k, u64 seed) { return TS(lg_k.v, seed); }
void add(TS& t, const Item& it) {
    if (!t.updatable()) raise(PyExc_TypeError, REFUSED);
    t.insert(t.hash_of(it.key));
}
void add_hash(TS& t, u64 x) {
    if (!t.updatable()) raise(PyExc_TypeError, REFUSED);
    t.insert(t.hash_of_hash(x));
}
void update(TS& t, const Items& items) {
    require_updatable(t);
    t.insert_many(items.size(), [&](std::size_t i) { return t.hash_of(items.at(i)); });
}
void update_hashes(TS& t, const Hashes& hs) {
    require_updatable(t);
    t.insert_many(hs.size(), [&](std::size_t i) { return t.hash_of_hash(hs[i]); });
}
void update_column(TS& t, const Column& c) {
    require_updatable(t);
    c.each_block([&](const Items& b) {
        t.insert_many(b.size(), [&](std::size_t i) { return t.hash_of(b.at(i)); });
    });
}
// Checked before the first block, so a result of a set operation refuses even an empty buffer.
u64 update_lines(TS& t, const Lines& l) {
    require_updatable(t);
    return UpdateLines<update>::run(t, l);
}
double estimate(const TS& t) { return t.estimate(); }
double lower_bound(const TS& t, u64 num_std) { return t.lower_bound(z_of(num_std)); }
double upper_bound(const TS& t, u64 num_std) { return t.upper_bound(z_of(num_std)); }
std::pair<double, double> confidence_interval(const TS& t, double confidence) {
    const double z = normal_quantile(confidence);
    return {t.lower_bound(z), t.upper_bound(z)};
}
Jaccard jaccard(const TS& a, const Other<TS>& b, u64 num_std) { return {TS::jaccard(a, *b, z_of(num_std))}; }
TS union_all(const ThetaSketches& s) { return TS::union_of(s.ptrs); }
TS intersect_all(const ThetaSketches& s) { return TS::intersection_of(s.ptrs); }
void merge(TS& t, const Other<TS>& o) { t.merge(*o); }
TS copy(const TS& t) { return t; }
void clear(TS& t) { t.clear(); }
Bytes to_bytes(const TS& t) { return {t.to_bytes()}; }
std::string to_json(const TS& t) { return t.to_json(); }
TS from_bytes(const ByteData& d) { return TS::from_bytes(d.s); }
TS from_json(const Text& t) { return TS::from_json(t.s); }
void save(const TS& t, const Text& path) { save_file(std::string(path.s), t.to_bytes()); }
TS load(const Text& path) { return TS::from_bytes(load_file(std::string(path.s), TS::format)); }

TS union_of(const TS& a, const TS& b) {
    const TS* both[] = {&a, &b};
    return TS::union_of(both);
}
TS intersection_of(const TS& a, const TS& b) {
    const TS* both[] = {&a, &b};
    return TS::intersection_of(both);
}
TS difference(const TS& a, const TS& b) { return TS::difference(a, b); }
void merge_in(TS& a, const TS& b) { a.merge(b); }
u64 length(const TS& t) { return t.length(); }
std::string repr(const TS& t) { return t.repr(); }

PyObject* richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_instance<TS>(a) || !is_instance<TS>(b)) Py_RETURN_NOTIMPLEMENTED;
    try {
        SharedBorrow ba(obj<TS>(a)->borrow), bb(obj<TS>(b)->borrow);
        const bool eq = obj<TS>(a)->value == obj<TS>(b)->value;
        return to_py(op == Py_EQ ? eq : !eq);
    } catch (...) {
        set_python_error();
        return nullptr;
    }
}

constexpr char class_doc[] =
    "ThetaSketch(lg_k=12, seed=0)\n--\n\n"
    "Distinct count of a set with unions, intersections and differences.\n\n"
    "Keeps the hashes of the items that fall below a threshold theta, at most\n"
    "about k = 2**lg_k of them (lg_k from 4 to 26); the estimate is exact while\n"
    "no hash was dropped, and its relative standard error is about\n"
    "1/sqrt(k - 1) after. a | b, a & b and a - b are sketches of the union,\n"
    "the intersection and the difference of the two sets. The results of\n"
    "intersections and differences accept no updates (TypeError).";

PyMethodDef methods[] = {
    def<"add($self, item)\n--\n\nAdd an item.", add>(),
    def<"update($self, items)\n--\n\nAdd every item of an iterable, releasing the GIL while hashing.", update>(),
    def<"add_hash($self, hash)\n--\n\nAdd a caller-provided 64-bit hash.", add_hash>(),
    def<"update_hashes($self, hashes)\n--\n\nAdd caller-provided 64-bit hashes (a uint64 or int64 buffer is read "
        "in place).",
        update_hashes>(),
    def<UPDATE_COLUMN_DOC("Add"), update_column>(),
    def<UPDATE_LINES_DOC("Add"), update_lines>(),
    def<"estimate($self)\n--\n\nEstimated number of distinct items; exact while nothing was dropped.", estimate>(),
    def<"cardinality($self)\n--\n\nThe same as estimate(), named as HyperLogLog names it.", estimate>(),
    def<"lower_bound($self, num_std=2)\n--\n\n"
        "Lower bound on the number of distinct items at num_std (1, 2 or 3) standard deviations.",
        lower_bound>(),
    def<"upper_bound($self, num_std=2)\n--\n\n"
        "Upper bound on the number of distinct items at num_std (1, 2 or 3) standard deviations.",
        upper_bound>(),
    def<"confidence_interval($self, confidence=0.95)\n--\n\n"
        "Two-sided interval for the number of distinct items.\n\n"
        "confidence must be one of 0.80, 0.90, 0.95 or 0.99; returns (low, high).",
        confidence_interval>(),
    def<"jaccard($self, other, num_std=2)\n--\n\n"
        "Jaccard similarity of the two sets: (lower, estimate, upper), the bounds at num_std (1, 2 or 3) "
        "standard deviations.",
        jaccard>(),
    def<"union(sketches)\n--\n\nThe sketch of the union of the sets of an iterable of sketches.", union_all>(),
    def<"intersection(sketches)\n--\n\nThe sketch of the intersection of the sets of an iterable of sketches.",
        intersect_all>(),
    def<"merge($self, other)\n--\n\nBecome the sketch of the union with another sketch's set.", merge>(),
    def<"copy($self)\n--\n\nCreate a deep copy of this sketch.", copy>(),
    def<"clear($self)\n--\n\nForget every item (an empty sketch that accepts updates again).", clear>(),
    def<"to_bytes($self)\n--\n\nSerialize to bytes (checksummed envelope, magic MKTH).", to_bytes>(),
    def<"from_bytes(data)\n--\n\nDeserialize from bytes; every field is validated.", from_bytes>(),
    def<"to_json($self)\n--\n\nSerialize to JSON string.", to_json>(),
    def<"from_json(data)\n--\n\nDeserialize from JSON string; every field is validated.", from_json>(),
    def<"save($self, path)\n--\n\nSave the sketch to a file (written atomically).", save>(),
    def<"load(path)\n--\n\nLoad a sketch from a file.", load>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"theta", prop<[](const TS& t) { return t.theta(); }>, nullptr,
     "The share of hash space retained, in (0, 1]; 1 while nothing was dropped.", nullptr},
    {"num_retained", prop<[](const TS& t) { return t.num_retained(); }>, nullptr, "Number of hashes retained.",
     nullptr},
    {"is_estimation_mode", prop<[](const TS& t) { return t.estimation_mode(); }>, nullptr,
     "Whether hashes were dropped (theta < 1): the estimate is then an estimate.", nullptr},
    {"updatable", prop<[](const TS& t) { return t.updatable(); }>, nullptr,
     "Whether the sketch accepts updates (False for results of intersections and differences).", nullptr},
    {"lg_k", prop<[](const TS& t) { return u64{t.lg_k()}; }>, nullptr, "Log2 of the nominal number of hashes k.",
     nullptr},
    {"seed", prop<[](const TS& t) { return t.seed(); }>, nullptr, "Get the seed.", nullptr},
    {"size_in_bytes", prop<[](const TS& t) { return t.size_in_bytes(); }>, nullptr,
     "Get the memory footprint of the hash table in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ClassDef theta_sketch_class() {
    ClassDef d = class_def<TS>(class_doc, methods, properties,
                               {
                                   slot(Py_tp_new, &constructor<class_doc, make>),
                                   slot(Py_sq_length, &slot_len<length>),
                                   slot(Py_nb_or, &slot_binary<union_of>),
                                   slot(Py_nb_and, &slot_binary<intersection_of>),
                                   slot(Py_nb_subtract, &slot_binary<difference>),
                                   slot(Py_nb_inplace_or, &slot_inplace<merge_in>),
                                   slot(Py_tp_richcompare, &richcompare),
                                   slot(Py_tp_hash, &PyObject_HashNotImplemented),
                                   slot(Py_tp_repr, &slot_repr<repr>),
                               });
    d.module = "murk";
    return d;
}

}  // namespace murk::py
