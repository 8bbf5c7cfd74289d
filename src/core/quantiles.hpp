// What every quantile sketch answers, defined once. A sketch gives its
// retained values as a sorted view: distinct-or-not values in ascending
// order, each with the cumulative weight up to and including it. The
// queries below read nothing else, so two sketch families answer the same
// question the same way.
//
// quantile(q) is the smallest retained value whose inclusive rank (the
// cumulative weight through it over the total) is at least q; quantile(0) is
// the minimum and quantile(1) the maximum, both tracked exactly. On data a
// sketch holds exactly this is numpy.quantile(values, q, method="inverted_cdf").
// rank(x) is the share of the weight at or below x.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "persistence.hpp"
#include "utils.hpp"

namespace murk {

struct SortedView {
    std::vector<double> values;  // ascending
    std::vector<u64> cumulative; // weight through each value
    u64 total() const { return cumulative.empty() ? 0 : cumulative.back(); }
};

// Raised by every query of a sketch without values.
[[noreturn]] inline void empty_sketch(const char* cls) {
    value_error(std::string(cls) + " is empty: there is no quantile, rank or distribution of no values");
}

inline void check_q(double q) {
    if (!(q >= 0.0 && q <= 1.0)) {
        char b[40];
        std::snprintf(b, sizeof b, "%g", q);
        value_error(std::string("q must be between 0 and 1, got ") + b);
    }
}

inline void check_split_points(const std::vector<double>& s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (std::isnan(s[i])) value_error("split points must not contain NaN");
        if (i > 0 && !(s[i - 1] < s[i])) value_error("split points must be strictly increasing");
    }
}

// The interface a sketch offers the shared queries: n() values seen, exact
// min() and max(), and its retained values as a sorted view.
template <class S>
concept QuantileSketch = requires(const S& s) {
    { s.n() } -> std::convertible_to<u64>;
    { s.min() } -> std::convertible_to<double>;
    { s.max() } -> std::convertible_to<double>;
    { s.sorted_view() } -> std::convertible_to<const SortedView&>;  // a value or a cached reference
    { S::class_name } -> std::convertible_to<const char*>;
};

namespace quantiles {

inline double at(const SortedView& v, double lo, double hi, double q) {
    if (q <= 0.0) return lo;
    if (q >= 1.0) return hi;
    // The first value whose cumulative weight reaches q of the total.
    const double target = q * static_cast<double>(v.total());
    const auto it = std::lower_bound(v.cumulative.begin(), v.cumulative.end(), target,
                                     [](u64 c, double t) { return static_cast<double>(c) < t; });
    const std::size_t i = static_cast<std::size_t>(it - v.cumulative.begin());
    const double x = v.values[std::min(i, v.values.size() - 1)];
    return std::clamp(x, lo, hi);
}

inline double weight_at_or_below(const SortedView& v, double x) {
    const auto it = std::upper_bound(v.values.begin(), v.values.end(), x);
    const std::size_t i = static_cast<std::size_t>(it - v.values.begin());
    return i == 0 ? 0.0 : static_cast<double>(v.cumulative[i - 1]);
}

}  // namespace quantiles

template <QuantileSketch S>
double quantile(const S& s, double q) {
    check_q(q);
    if (s.n() == 0) empty_sketch(S::class_name);
    return quantiles::at(s.sorted_view(), s.min(), s.max(), q);
}

template <QuantileSketch S>
std::vector<double> quantiles_of(const S& s, const std::vector<double>& qs) {
    for (double q : qs) check_q(q);
    if (s.n() == 0) empty_sketch(S::class_name);
    const SortedView& v = s.sorted_view();
    std::vector<double> out;
    out.reserve(qs.size());
    for (double q : qs) out.push_back(quantiles::at(v, s.min(), s.max(), q));
    return out;
}

template <QuantileSketch S>
double rank(const S& s, double x) {
    if (std::isnan(x)) value_error("rank of NaN is undefined");
    if (s.n() == 0) empty_sketch(S::class_name);
    if (x < s.min()) return 0.0;
    if (x >= s.max()) return 1.0;
    const SortedView& v = s.sorted_view();
    return quantiles::weight_at_or_below(v, x) / static_cast<double>(v.total());
}

// The share of the weight at or below each split point, then 1.0.
template <QuantileSketch S>
std::vector<double> cdf(const S& s, const std::vector<double>& splits) {
    check_split_points(splits);
    if (s.n() == 0) empty_sketch(S::class_name);
    const SortedView& v = s.sorted_view();
    const double total = static_cast<double>(v.total());
    std::vector<double> out;
    out.reserve(splits.size() + 1);
    for (double x : splits)
        out.push_back(x < s.min() ? 0.0 : x >= s.max() ? 1.0 : quantiles::weight_at_or_below(v, x) / total);
    out.push_back(1.0);
    return out;
}

// The share of the weight in (-inf, s0], (s0, s1], ..., (s_last, +inf).
template <QuantileSketch S>
std::vector<double> pmf(const S& s, const std::vector<double>& splits) {
    std::vector<double> c = cdf(s, splits);
    for (std::size_t i = c.size(); i-- > 1;) c[i] -= c[i - 1];
    return c;
}

}  // namespace murk

// A double that may be infinite, as the records of quantile sketches store
// their values: eight bytes in binary, a number in JSON except for the
// infinities, which JSON numbers cannot spell and are written "inf", "-inf".
namespace murk {

struct Real {
    double v = 0.0;
    friend bool operator==(Real, Real) = default;
};

template <>
struct Codec<Real> {
    static constexpr bool optional = false;
    static std::size_t size(const Real&) { return 8; }
    static void write(Writer& w, const Real& x) { w.put(x.v); }
    static void read(Reader& r, Real& x) { x.v = r.get<double>(); }
    static void to_json(JsonOut& o, const Real& x) {
        if (std::isinf(x.v)) json_string(o, x.v > 0 ? "inf" : "-inf");
        else Codec<double>::to_json(o, x.v);  // NaN is never stored
    }
    static void from_json(JsonIn& in, Real& x) {
        if (in.peek().kind() == JsonIn::String) {
            const auto& t = in.next();
            const std::string_view s = in.str(t);
            if (s == "inf") x.v = INFINITY;
            else if (s == "-inf") x.v = -INFINITY;
            else in.fail("invalid value: string `" + std::string(s.substr(0, 32)) + "`, expected f64, \"inf\" or \"-inf\"");
            return;
        }
        Codec<double>::from_json(in, x.v);
    }
};

}  // namespace murk
