// DDSketch (Masson, Rim, Lee 2019): quantiles with a relative value error.
//
// A positive value x goes to bucket ceil(log_gamma(x)), gamma = (1 + a) / (1 - a),
// so bucket i holds (gamma^(i-1), gamma^i] and answers 2 gamma^i / (gamma + 1),
// which is within a * x of every x it holds. A negative value goes to the
// bucket of its magnitude in a second store, keyed by the negated index so
// that in both stores a higher key is a higher value. Zeros and infinities are
// counted apart and answered exactly.
//
// A store keeps at most max_buckets consecutive keys. When a new key would
// widen it further, the lowest keys (the lowest values of that store: the
// smallest positives, the most negative negatives) fold into the lowest key
// kept, and the store is marked collapsed: its lowest bucket then holds values
// it cannot bound, and the quantiles falling there lose the guarantee. The
// high tail keeps it. Where a value lands depends only on the highest key the
// store has seen, so the state (and its bytes) does not depend on the order
// of insertion, and merging two sketches adds bucket counts exactly.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "persistence.hpp"
#include "quantiles.hpp"
#include "utils.hpp"

namespace murk {

using i64 = std::int64_t;

// A signed 64-bit field of a record (bucket keys go below zero).
struct SignedField {
    i64 v = 0;
    bool operator==(const SignedField&) const = default;
};

template <>
struct Codec<SignedField, void> {
    static constexpr bool optional = false;
    static std::size_t size(const SignedField&) { return 8; }
    static void write(Writer& w, const SignedField& f) { w.put<u64>(static_cast<u64>(f.v)); }
    static void read(Reader& r, SignedField& f) { f.v = static_cast<i64>(r.get<u64>()); }
    static void to_json(JsonOut& o, const SignedField& f);
    static void from_json(JsonIn& in, SignedField& f);
};

struct DDSketchData {
    static constexpr std::string_view name = "DDSketchData";
    static constexpr u8 current_version = 1;
    u8 version = current_version;
    double relative_accuracy = 0;
    u64 max_buckets = 0;
    u64 count = 0;  // every value, zeros and infinities included
    u64 zero_count = 0;
    u64 negative_infinity_count = 0;
    u64 positive_infinity_count = 0;
    std::optional<double> min;  // of the finite values; absent when there are none
    std::optional<double> max;
    // The exact sum of the finite values: a magnitude in units of 2^-1074,
    // little-endian 64-bit words without high zero words, and its sign.
    u8 sum_negative = 0;
    Array<u64> sum_magnitude;
    // Each store: the key of the first count, the counts from the lowest
    // non-empty key to the highest (no zero at either end), whether the
    // lowest bucket holds collapsed values.
    SignedField negative_offset;
    Array<u64> negative_counts;
    u8 negative_collapsed = 0;
    SignedField positive_offset;
    Array<u64> positive_counts;
    u8 positive_collapsed = 0;
    template <class S, class V>
    static void fields(S& s, V&& v) {
        v("version", s.version);
        v("relative_accuracy", s.relative_accuracy);
        v("max_buckets", s.max_buckets);
        v("count", s.count);
        v("zero_count", s.zero_count);
        v("negative_infinity_count", s.negative_infinity_count);
        v("positive_infinity_count", s.positive_infinity_count);
        v("min", s.min);
        v("max", s.max);
        v("sum_negative", s.sum_negative);
        v("sum_magnitude", s.sum_magnitude);
        v("negative_offset", s.negative_offset);
        v("negative_counts", s.negative_counts);
        v("negative_collapsed", s.negative_collapsed);
        v("positive_offset", s.positive_offset);
        v("positive_counts", s.positive_counts);
        v("positive_collapsed", s.positive_collapsed);
    }
};

namespace dd {

// The exact sum of doubles as a fixed-point integer in units of 2^-1074:
// 32-bit limbs held in signed 64-bit slots, so an addition touches three
// slots with no carry; carries are settled every 2^30 additions and before
// the sum is read. 70 limbs cover 2^1024 times 2^64 values with room to spare.
class ExactSum {
public:
    static constexpr std::size_t LIMBS = 70;
    static constexpr u64 MAX_WORDS = 34;  // persisted 64-bit words at most: 2^64 values of up to 2^1024

    void add(double x) noexcept {
        const u64 bits = std::bit_cast<u64>(x);
        const u64 e = bits >> 52 & 0x7ff;
        u64 m = bits & ((u64{1} << 52) - 1);
        unsigned p = 0;  // position of the mantissa's lowest bit above 2^-1074
        if (e) {
            m |= u64{1} << 52;
            p = static_cast<unsigned>(e - 1);
        }
        const unsigned __int128 v = static_cast<unsigned __int128>(m) << (p & 31);
        const std::size_t c = p >> 5;
        const i64 a = static_cast<i64>(static_cast<u64>(v) & 0xffffffffu);
        const i64 b = static_cast<i64>(static_cast<u64>(v >> 32) & 0xffffffffu);
        const i64 d = static_cast<i64>(static_cast<u64>(v >> 64));
        if (bits >> 63) {
            limb_[c] -= a;
            limb_[c + 1] -= b;
            limb_[c + 2] -= d;
        } else {
            limb_[c] += a;
            limb_[c + 1] += b;
            limb_[c + 2] += d;
        }
        if (++pending_ == (u64{1} << 30)) settle();
    }
    void merge(const ExactSum& o) noexcept;
    bool operator==(const ExactSum& o) const noexcept;

    // Round to nearest (ties to even), the result scaled by 2^-scale.
    double value(int scale = 0) const noexcept;

    void to_record(u8& negative, Array<u64>& magnitude) const;
    // False when the record is not canonical.
    bool from_record(u8 negative, const Array<u64>& magnitude) noexcept;

private:
    void settle() noexcept;  // every limb but the top one into [0, 2^32)
    // Sign and magnitude limbs (each in [0, 2^32)).
    bool magnitude(std::array<u64, LIMBS>& out) const noexcept;

    std::array<i64, LIMBS> limb_{};
    u64 pending_ = 0;
};

// Consecutive bucket counts over a window of keys that covers the non-empty
// range [lo, hi]; at most max_buckets keys are ever non-empty.
class Store {
public:
    bool empty() const noexcept { return empty_; }
    i64 lo() const noexcept { return lo_; }
    i64 hi() const noexcept { return hi_; }
    bool collapsed() const noexcept { return collapsed_; }
    u64 at(i64 key) const noexcept { return counts_[static_cast<std::size_t>(key - base_)]; }
    u64 size_in_bytes() const noexcept { return counts_.size() * sizeof(u64); }

    void add(i64 key, u64 n, u64 max_buckets) {
        if (!empty_ && key >= lo_ && key <= hi_)
            counts_[static_cast<std::size_t>(key - base_)] += n;
        else
            add_outside(key, n, max_buckets);
    }
    // Folds every key below `key` into it (a merge with a store collapsed there).
    void collapse_below(i64 key);
    void clear() noexcept;

    void to_record(SignedField& offset, Array<u64>& counts, u8& collapsed) const;
    void from_record(const SignedField& offset, const Array<u64>& counts, u8 collapsed);

private:
    void add_outside(i64 key, u64 n, u64 max_buckets);
    void fold_below(i64 floor);  // keys in [lo, floor) into floor, which must stay in the window
    void cover(i64 a, i64 b);

    Array<u64> counts_;
    i64 base_ = 0;  // key of counts_[0]
    i64 lo_ = 0, hi_ = 0;
    bool empty_ = true;
    bool collapsed_ = false;
};

}  // namespace dd

class DDSketch {
public:
    static constexpr Format format{"MKDD", 1};
    static constexpr const char* class_name = "DDSketch";
    static constexpr double MIN_RELATIVE_ACCURACY = 1e-6;
    static constexpr u64 MAX_MAX_BUCKETS = u64{1} << 24;

    DDSketch(double relative_accuracy, u64 max_buckets);
    explicit DDSketch(const DDSketchData& d);  // validates

    double relative_accuracy() const noexcept { return alpha_; }
    double gamma() const noexcept { return gamma_; }
    u64 max_buckets() const noexcept { return max_buckets_; }
    u64 n() const noexcept { return n_; }
    bool is_empty() const noexcept { return n_ == 0; }
    double min() const noexcept;  // exact; NaN when empty
    double max() const noexcept;
    double sum() const noexcept;  // exact sum, rounded once
    double mean() const;          // ValueError when empty
    u64 num_buckets() const noexcept;
    u64 size_in_bytes() const noexcept;

    // Bucket index of a positive finite value.
    i64 index(double x) const noexcept { return static_cast<i64>(std::ceil(std::log(x) * inv_log_gamma_)); }
    // The value bucket i of the positive store answers (of magnitude, for the negative one).
    double representative(i64 i) const noexcept;

    void add(double x) {
        view_.reset();
        if (x > 0) {
            if (x <= MAX_FINITE) {
                positive_.add(index(x), 1, max_buckets_);
                finite(x);
            } else {
                ++pos_inf_;
            }
        } else if (x < 0) {
            if (x >= -MAX_FINITE) {
                negative_.add(-index(-x), 1, max_buckets_);
                finite(x);
            } else {
                ++neg_inf_;
            }
        } else if (x == 0) {
            ++zeros_;
            finite(0.0);  // -0.0 is kept as 0.0
        } else {
            return;  // NaN: not a value
        }
        ++n_;
    }
    void update_many(const double* v, std::size_t n) {
        view_.reset();
        for (std::size_t i = 0; i < n; ++i) add(v[i]);
    }

    void merge(const DDSketch& other);
    void clear() noexcept;
    bool operator==(const DDSketch& o) const { return to_bytes() == o.to_bytes(); }

    // Values in collapsed buckets, and the rank intervals (low, high] of the
    // weight whose quantiles may be off by more than the relative accuracy.
    u64 collapsed_count() const noexcept;
    std::vector<std::pair<double, double>> collapsed_ranks() const;

    // Each non-empty bucket's answer (clamped into [min, max]) with the
    // weight through it: what the shared quantile queries read.
    const SortedView& sorted_view() const;  // built once per state
    std::string repr() const;

    DDSketchData to_data() const;
    std::string to_bytes() const { return murk::to_bytes(to_data(), format); }
    std::string to_json() const { return murk::to_json(to_data()); }
    static DDSketch from_bytes(std::string_view b) { return DDSketch(murk::from_bytes<DDSketchData>(b, format)); }
    static DDSketch from_json(std::string_view t) { return DDSketch(murk::from_json<DDSketchData>(t)); }

private:
    static constexpr double MAX_FINITE = 1.7976931348623157e308;

    void finite(double x) noexcept {
        sum_.add(x);
        if (x < min_) min_ = x;
        if (x > max_) max_ = x;
    }
    void set_parameters(double relative_accuracy, u64 max_buckets);

    double alpha_ = 0, gamma_ = 0, log_gamma_ = 0, inv_log_gamma_ = 0, log_scale_ = 0;
    u64 max_buckets_ = 0;
    u64 n_ = 0, zeros_ = 0, neg_inf_ = 0, pos_inf_ = 0;
    double min_ = __builtin_inf(), max_ = -__builtin_inf();  // of the finite values
    dd::ExactSum sum_;
    dd::Store negative_, positive_;
    mutable std::optional<SortedView> view_;
};

}  // namespace murk
