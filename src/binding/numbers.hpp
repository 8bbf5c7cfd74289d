// Numbers in and quantiles out: the binding side every quantile sketch
// shares. A sketch class offers update_many(const double*, n) (values
// without NaN) and the QuantileSketch interface of core/quantiles.hpp; the
// templates and table macros below give it the whole Python surface of
// updates and queries.
//
// A number is a float, an int or any object with __float__ or __index__
// (NumPy scalars, Decimal, Fraction). A bool is refused: True and False are
// flags, not measurements, and taking them as 1 and 0 hides mistakes. NaN
// and nulls (None, pandas.NA, Arrow nulls) are skipped; infinities are
// ordinary values. Everything is
// gathered (and checked) before the sketch changes, so an error changes
// nothing; the sketch then consumes the values without the GIL.
#pragma once

#include "../core/arrow_numbers.hpp"
#include "../core/quantiles.hpp"
#include "frame.hpp"

namespace murk::py {

// Values fed to update() or update_array(): copied from Python numbers, or
// read in place (strided if need be) from a one-dimensional buffer of any
// integer or float type, which is held until the call ends.
class Numbers {
public:
    Numbers() = default;
    Numbers(Numbers&& o) noexcept;
    Numbers& operator=(Numbers&&) = delete;
    ~Numbers();  // GIL held

    // A number, a buffer or an iterable of numbers (update()).
    void gather(PyObject* o);
    // A buffer only (update_array()).
    void gather_array(PyObject* o);
    // A numeric one-dimensional buffer if o is one; false (nothing raised) otherwise.
    bool read_buffer(PyObject* o);

    static constexpr std::size_t BLOCK = 1024;
    std::size_t count() const { return in_place_ ? n_ : has_one_ ? 1 : v_.size(); }
    // Runs f(const double* p, std::size_t n) over the values, NaN left out,
    // in order and in blocks. No GIL needed.
    template <class F>
    void each_block(F&& f) const {
        if (has_one_) {
            f(static_cast<const double*>(&one_), std::size_t{1});
            return;
        }
        if (!in_place_) {
            if (!v_.empty()) f(static_cast<const double*>(v_.data()), v_.size());
            return;
        }
        double buf[BLOCK];
        // Contiguous doubles go to the sketch where they lie, a block at a
        // time, unless the block holds a NaN to leave out.
        const double* doubles = contiguous_doubles();
        for (std::size_t at = 0; at < n_;) {
            if (doubles) {
                const std::size_t m = std::min(BLOCK, n_ - at);
                bool nan = false;
                for (std::size_t i = 0; i < m; ++i) nan |= doubles[at + i] != doubles[at + i];
                if (!nan) {
                    f(doubles + at, m);
                    at += m;
                    continue;
                }
            }
            const std::size_t m = next(at, buf, BLOCK);
            if (m) f(static_cast<const double*>(buf), m);
        }
    }

private:
    bool try_buffer(PyObject* o, bool required);
    void iterate(PyObject* o);
    std::size_t next(std::size_t& at, double* out, std::size_t max) const;
    const double* contiguous_doubles() const noexcept {
        return type_ == arrow::Number::Float64 && stride_ == sizeof(double) &&
                       reinterpret_cast<std::uintptr_t>(base_) % alignof(double) == 0
                   ? reinterpret_cast<const double*>(base_)
                   : nullptr;
    }

    std::vector<double> v_;
    double one_ = 0.0;  // a single number needs no allocation
    bool has_one_ = false;
    Py_buffer view_{};
    bool held_ = false, in_place_ = false;
    const char* base_ = nullptr;
    std::size_t n_ = 0;
    Py_ssize_t stride_ = 0;
    arrow::Number type_ = arrow::Number::Float64;
};

// update_array()'s argument: a buffer only.
struct NumberArray : Numbers {};

// A numeric Arrow column (update_column()), imported with the GIL held.
class NumberColumn {
public:
    NumberColumn() = default;
    NumberColumn(NumberColumn&&) noexcept = default;
    void import(PyObject* o);
    template <class F>
    void each_block(F&& f) const {
        double buf[Numbers::BLOCK];
        arrow::Cursor at;
        while (std::size_t m = col_->next_values(at, buf, Numbers::BLOCK)) f(static_cast<const double*>(buf), m);
    }

private:
    ArrowImportPtr imp_;  // the arrays col_ points into
    std::optional<arrow::NumberColumn> col_;
};

// Query arguments: q values or split points, NaN kept so that it is refused.
struct FloatArgs {
    std::vector<double> v;
};
// A list of floats as a result.
struct FloatList {
    std::vector<double> v;
};
// A strict bool argument.
struct Flag {
    bool v = false;
};

void to_float_args(PyObject* o, FloatArgs& out);
bool to_flag(PyObject* o);
PyObject* to_py(FloatList&& v);

template <>
struct is_batch<NumberArray> : std::true_type {};
template <>
struct is_batch<NumberColumn> : std::true_type {};

template <>
struct Conv<Numbers> {
    static constexpr bool unprefixed = true;
    static Numbers get(PyObject* o) {
        Numbers n;
        n.gather(o);
        return n;
    }
};
template <>
struct Conv<NumberArray> {
    static constexpr bool unprefixed = true;
    static NumberArray get(PyObject* o) {
        NumberArray n;
        n.gather_array(o);
        return n;
    }
};
template <>
struct Conv<NumberColumn> {
    static NumberColumn get(PyObject* o) {
        NumberColumn c;
        c.import(o);
        return c;
    }
};
template <>
struct Conv<FloatArgs> {
    static FloatArgs get(PyObject* o) {
        FloatArgs a;
        to_float_args(o, a);
        return a;
    }
};
template <>
struct Conv<Flag> {
    static Flag get(PyObject* o) { return Flag{to_flag(o)}; }
};

// ---------------------------------------------------------------- the shared methods

namespace numbers {

// update() holds the GIL for a few values (releasing it costs more than
// they do) and releases it for more.
template <class S>
void update(S& s, const Numbers& v) {
    auto consume = [&] { v.each_block([&](const double* p, std::size_t n) { s.update_many(p, n); }); };
    if (v.count() <= 256) consume();
    else without_gil(consume);
}
template <class S>
void update_array(S& s, const NumberArray& v) {
    v.each_block([&](const double* p, std::size_t n) { s.update_many(p, n); });
}
template <class S>
void update_column(S& s, const NumberColumn& c) {
    c.each_block([&](const double* p, std::size_t n) { s.update_many(p, n); });
}
template <class S>
double quantile(const S& s, double q) {
    return murk::quantile(s, q);
}
template <class S>
FloatList quantiles(const S& s, const FloatArgs& qs) {
    return {murk::quantiles_of(s, qs.v)};
}
template <class S>
double rank(const S& s, double x) {
    return murk::rank(s, x);
}
template <class S>
FloatList cdf(const S& s, const FloatArgs& splits) {
    return {murk::cdf(s, splits.v)};
}
template <class S>
FloatList pmf(const S& s, const FloatArgs& splits) {
    return {murk::pmf(s, splits.v)};
}
template <class S>
bool is_empty(const S& s) {
    return s.n() == 0;
}
template <class S>
double min(const S& s) {
    if (s.n() == 0) empty_sketch(S::class_name);
    return s.min();
}
template <class S>
double max(const S& s) {
    if (s.n() == 0) empty_sketch(S::class_name);
    return s.max();
}
template <class S>
u64 n(const S& s) {
    return s.n();
}

}  // namespace numbers

#define NUMBER_INPUT_DOC                                                                               \
    "A number is an int, a float or anything with __float__ or __index__ (NumPy scalars\n"            \
    "included); bool is refused. NaN and None are skipped, infinities are values. A value that\n"     \
    "is not a number raises TypeError naming it and leaves the sketch unchanged."

#define QUANTILE_DEFINITION_DOC                                                                        \
    "quantile(q) is the smallest retained value whose inclusive rank is at least q:\n"                 \
    "quantile(0) is the minimum, quantile(1) the maximum, and on data the sketch still\n"              \
    "holds exactly it equals numpy.quantile(values, q, method=\"inverted_cdf\"). q outside\n"         \
    "[0, 1] raises ValueError, and so does any query of an empty sketch."

// The update and query methods of a quantile sketch class S, for its method table.
#define QUANTILE_SKETCH_METHODS(S)                                                                     \
    def<"update($self, values)\n--\n\n"                                                                \
        "Add one number, or every number of an iterable or one-dimensional array.\n\n" NUMBER_INPUT_DOC, \
        numbers::update<S>>(),                                                                         \
        def<"update_array($self, array)\n--\n\n"                                                       \
            "Add the numbers of a one-dimensional array (NumPy or any buffer) of any integer or\n"     \
            "float type, read in place (strided views too). NaN is skipped; bool arrays are refused.", \
            numbers::update_array<S>>(),                                                               \
        def<"update_column($self, column)\n--\n\n"                                                     \
            "Add the non-null values of a numeric Arrow column, read in place.\n\n"                    \
            "column is anything with __arrow_c_stream__ or __arrow_c_array__ (pyarrow, polars,\n"      \
            "pandas, DuckDB, nanoarrow) holding integers of any width, float16, float32 or float64,\n" \
            "chunked or not. Nulls and NaN are skipped.",                                              \
            numbers::update_column<S>>(),                                                              \
        def<"quantile($self, q)\n--\n\nThe q-quantile of the values seen, 0 <= q <= 1.\n\n"           \
            QUANTILE_DEFINITION_DOC,                                                                   \
            numbers::quantile<S>>(),                                                                   \
        def<"quantiles($self, qs)\n--\n\n"                                                             \
            "The quantile of each q of a sequence or NumPy array, answered in one pass;\n"             \
            "returns a list of floats.",                                                               \
            numbers::quantiles<S>>(),                                                                  \
        def<"rank($self, x)\n--\n\nThe share of the weight at or below x, from 0.0 to 1.0.", numbers::rank<S>>(), \
        def<"cdf($self, split_points)\n--\n\n"                                                         \
            "The share of the weight at or below each split point, followed by 1.0.\n\n"               \
            "split_points must be strictly increasing and free of NaN (ValueError otherwise).",        \
            numbers::cdf<S>>(),                                                                        \
        def<"pmf($self, split_points)\n--\n\n"                                                         \
            "The share of the weight in each interval (-inf, s0], (s0, s1], ..., (s_last, +inf).\n\n" \
            "split_points must be strictly increasing and free of NaN (ValueError otherwise).",        \
            numbers::pmf<S>>(),                                                                        \
        def<"is_empty($self)\n--\n\nWhether no value has been added.", numbers::is_empty<S>>()

// The properties every quantile sketch shares.
#define QUANTILE_SKETCH_PROPERTIES(S)                                                                  \
    {"min", prop<numbers::min<S>>, nullptr, "The smallest value seen (ValueError when empty).", nullptr}, \
        {"max", prop<numbers::max<S>>, nullptr, "The largest value seen (ValueError when empty).", nullptr}, \
        {"n", prop<numbers::n<S>>, nullptr, "The number of values seen (also len()).", nullptr}

}  // namespace murk::py
