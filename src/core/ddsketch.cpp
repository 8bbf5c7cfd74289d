#include "ddsketch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace murk {

void Codec<SignedField, void>::to_json(JsonOut& o, const SignedField& f) { json_int(o, f.v); }

void Codec<SignedField, void>::from_json(JsonIn& in, SignedField& f) {
    const auto& t = in.next();
    if (t.kind() == JsonIn::NegInt) {
        f.v = static_cast<i64>(t.value);
    } else if (t.kind() == JsonIn::UInt) {
        if (t.value > static_cast<u64>(std::numeric_limits<i64>::max()))
            in.fail("invalid value: integer `" + std::to_string(t.value) + "`, expected i64");
        f.v = static_cast<i64>(t.value);
    } else {
        in.fail_type(t, "i64");
    }
}

namespace dd {

// ---------------------------------------------------------------- exact sum

void ExactSum::settle() noexcept {
    for (std::size_t i = 0; i + 1 < LIMBS; ++i) {
        const i64 carry = limb_[i] >> 32;
        limb_[i] -= static_cast<i64>(static_cast<u64>(carry) << 32);
        limb_[i + 1] += carry;
    }
    pending_ = 0;
}

bool ExactSum::magnitude(std::array<u64, LIMBS>& out) const noexcept {
    ExactSum s = *this;
    s.settle();
    const bool negative = s.limb_[LIMBS - 1] < 0;
    if (negative) {
        for (auto& l : s.limb_) l = -l;
        s.settle();
    }
    for (std::size_t i = 0; i < LIMBS; ++i) out[i] = static_cast<u64>(s.limb_[i]);
    return negative;
}

void ExactSum::merge(const ExactSum& o) noexcept {
    ExactSum b = o;
    b.settle();
    settle();
    for (std::size_t i = 0; i < LIMBS; ++i) limb_[i] += b.limb_[i];
    pending_ = 2;
}

bool ExactSum::operator==(const ExactSum& o) const noexcept {
    std::array<u64, LIMBS> a, b;
    const bool na = magnitude(a), nb = o.magnitude(b);
    return a == b && (na == nb || std::all_of(a.begin(), a.end(), [](u64 x) { return x == 0; }));
}

double ExactSum::value(int scale) const noexcept {
    std::array<u64, LIMBS> l;
    const bool negative = magnitude(l);
    std::size_t t = LIMBS;
    while (t > 0 && l[t - 1] == 0) --t;
    if (t == 0) return 0.0;
    --t;
    const int bits = static_cast<int>(32 * t) + 64 - __builtin_clzll(l[t]);  // magnitude < 2^bits
    double r;
    if (bits <= 53) {
        const u64 m = l[0] | (t ? l[1] << 32 : 0);
        r = std::ldexp(static_cast<double>(m), -1074 - scale);
    } else {
        // The top 64 bits, and whether anything below them is set.
        u64 top;
        bool sticky = false;
        if (bits <= 64) {
            top = (l[0] | (t ? l[1] << 32 : 0)) << (64 - bits);
        } else {
            const int low = bits - 64;
            const std::size_t w = static_cast<std::size_t>(low) >> 5;
            const int sh = low & 31;
            const unsigned __int128 win = static_cast<unsigned __int128>(l[w]) |
                                          static_cast<unsigned __int128>(l[w + 1]) << 32 |
                                          static_cast<unsigned __int128>(w + 2 < LIMBS ? l[w + 2] : 0) << 64;
            top = static_cast<u64>(win >> sh);
            sticky = (l[w] & ((u64{1} << sh) - 1)) != 0;
            for (std::size_t i = 0; i < w && !sticky; ++i) sticky = l[i] != 0;
        }
        u64 m = top >> 11;
        const u64 rest = top & 0x7ff;
        if (rest > 0x400 || (rest == 0x400 && (sticky || (m & 1)))) ++m;
        int e = bits - 53;
        if (m == u64{1} << 53) {
            m >>= 1;
            ++e;
        }
        r = std::ldexp(static_cast<double>(m), e - 1074 - scale);
    }
    return negative ? -r : r;
}

void ExactSum::to_record(u8& negative, Array<u64>& magnitude_words) const {
    std::array<u64, LIMBS> l;
    const bool neg = magnitude(l);
    magnitude_words.assign(LIMBS / 2, 0);
    for (std::size_t j = 0; j < LIMBS / 2; ++j) magnitude_words[j] = l[2 * j] | l[2 * j + 1] << 32;
    while (!magnitude_words.empty() && magnitude_words.back() == 0) magnitude_words.pop_back();
    negative = neg && !magnitude_words.empty();
}

bool ExactSum::from_record(u8 negative, const Array<u64>& w) noexcept {
    if (negative > 1 || w.size() > MAX_WORDS || (!w.empty() && w.back() == 0) || (negative && w.empty())) return false;
    limb_.fill(0);
    for (std::size_t j = 0; j < w.size(); ++j) {
        limb_[2 * j] = static_cast<i64>(w[j] & 0xffffffffu);
        limb_[2 * j + 1] = static_cast<i64>(w[j] >> 32);
    }
    if (negative)
        for (auto& x : limb_) x = -x;
    pending_ = 1;
    return true;
}

// ---------------------------------------------------------------- store

void Store::clear() noexcept {
    counts_.clear();
    counts_.shrink_to_fit();
    base_ = lo_ = hi_ = 0;
    empty_ = true;
    collapsed_ = false;
}

// Makes the window cover [a, b] (at most max_buckets keys), which must hold
// every non-zero count. Half as many keys again are left as slack on the
// side it grew towards, so growth and a steady drift cost a constant number
// of copied counts per new key, and the window stays within 1.5 times the
// span of the values.
void Store::cover(i64 a, i64 b) {
    const i64 size = static_cast<i64>(counts_.size());
    if (size && a >= base_ && b < base_ + size) return;
    const i64 need = b - a + 1;
    const i64 cap = need + need / 2 + 16;
    const i64 base = (size == 0 || b >= base_ + size) ? a : b - cap + 1;
    Array<u64> next(static_cast<std::size_t>(cap));
    const i64 from = std::max(base, base_), to = std::min(base + cap, base_ + size);
    for (i64 k = from; k < to; ++k) next[static_cast<std::size_t>(k - base)] = counts_[static_cast<std::size_t>(k - base_)];
    counts_ = std::move(next);
    base_ = base;
}

void Store::fold_below(i64 floor) {
    u64 moved = 0;
    for (i64 k = lo_, end = std::min(hi_ + 1, floor); k < end; ++k) {
        u64& c = counts_[static_cast<std::size_t>(k - base_)];
        moved += c;
        c = 0;
    }
    counts_[static_cast<std::size_t>(floor - base_)] += moved;
    lo_ = floor;
    collapsed_ = true;
}

void Store::add_outside(i64 key, u64 n, u64 max_buckets) {
    const i64 width = static_cast<i64>(max_buckets);
    if (empty_) {
        cover(key, key);
        lo_ = hi_ = key;
        empty_ = false;
    } else if (key > hi_) {
        const i64 floor = key - width + 1;
        if (lo_ < floor) {
            // The lowest keys fold into the lowest one kept. Counts below the
            // floor are summed and zeroed before the window moves past them.
            u64 moved = 0;
            for (i64 k = lo_, end = std::min(hi_ + 1, floor); k < end; ++k) {
                u64& c = counts_[static_cast<std::size_t>(k - base_)];
                moved += c;
                c = 0;
            }
            cover(floor, key);
            counts_[static_cast<std::size_t>(floor - base_)] += moved;
            lo_ = floor;
            collapsed_ = true;
        } else {
            cover(lo_, key);
        }
        hi_ = key;
    } else {
        // Below the range: a collapsed store keeps its lowest bucket lowest.
        const i64 floor = collapsed_ ? lo_ : hi_ - width + 1;
        if (key < floor) {
            key = floor;
            collapsed_ = true;
        }
        if (key < lo_) {
            cover(key, hi_);
            lo_ = key;
        }
    }
    counts_[static_cast<std::size_t>(key - base_)] += n;
}

void Store::collapse_below(i64 key) {
    if (empty_ || key < lo_ || key > hi_) return;
    fold_below(key);
}

void Store::to_record(SignedField& offset, Array<u64>& counts, u8& collapsed) const {
    counts.clear();
    offset.v = 0;
    collapsed = 0;
    if (empty_) return;
    offset.v = lo_;
    counts.assign(counts_.begin() + (lo_ - base_), counts_.begin() + (hi_ - base_ + 1));
    collapsed = collapsed_;
}

void Store::from_record(const SignedField& offset, const Array<u64>& counts, u8 collapsed) {
    clear();
    if (counts.empty()) return;
    counts_ = counts;
    base_ = lo_ = offset.v;
    hi_ = offset.v + static_cast<i64>(counts.size()) - 1;
    empty_ = false;
    collapsed_ = collapsed != 0;
}

}  // namespace dd

// ---------------------------------------------------------------- sketch

namespace {

constexpr double DENORM_MIN = 4.9406564584124654e-324;

[[noreturn]] void invalid(const std::string& what) { value_error("Invalid DDSketch: " + what); }

u64 store_total(const dd::Store& s) {
    u64 t = 0;
    if (!s.empty())
        for (i64 k = s.lo(); k <= s.hi(); ++k) t += s.at(k);
    return t;
}

}  // namespace

void DDSketch::set_parameters(double relative_accuracy, u64 max_buckets) {
    if (!(relative_accuracy >= MIN_RELATIVE_ACCURACY && relative_accuracy < 1.0))
        value_error("relative_accuracy must be at least 1e-06 and below 1, got " + format_double(relative_accuracy));
    if (max_buckets < 1 || max_buckets > MAX_MAX_BUCKETS)
        value_error("max_buckets must be between 1 and 16777216, got " + std::to_string(max_buckets));
    alpha_ = relative_accuracy;
    gamma_ = (1.0 + alpha_) / (1.0 - alpha_);
    log_gamma_ = std::log1p(2.0 * alpha_ / (1.0 - alpha_));
    inv_log_gamma_ = 1.0 / log_gamma_;
    log_scale_ = std::log1p(-alpha_);  // 2 / (gamma + 1) = 1 - alpha
    max_buckets_ = max_buckets;
}

DDSketch::DDSketch(double relative_accuracy, u64 max_buckets) { set_parameters(relative_accuracy, max_buckets); }

DDSketch::DDSketch(const DDSketchData& d) {
    if (d.version != DDSketchData::current_version) value_error("Unsupported DDSketch data version");
    if (!(d.relative_accuracy >= MIN_RELATIVE_ACCURACY && d.relative_accuracy < 1.0))
        invalid("relative_accuracy must be at least 1e-06 and below 1");
    if (d.max_buckets < 1 || d.max_buckets > MAX_MAX_BUCKETS) invalid("max_buckets must be between 1 and 16777216");
    set_parameters(d.relative_accuracy, d.max_buckets);

    // Stores: trimmed, no wider than max_buckets, keys of finite doubles.
    const i64 key_lo = index(DENORM_MIN), key_hi = index(MAX_FINITE);
    auto store = [&](const char* which, const SignedField& offset, const Array<u64>& counts, u8 collapsed,
                     i64 lo, i64 hi, dd::Store& out) {
        const std::string w = which;
        if (collapsed > 1) invalid(w + "_collapsed must be 0 or 1");
        if (counts.empty()) {
            if (offset.v != 0 || collapsed) invalid("an empty " + w + " store has offset 0 and is not collapsed");
        } else {
            if (counts.size() > d.max_buckets) invalid(w + "_counts is wider than max_buckets");
            if (counts.front() == 0 || counts.back() == 0) invalid(w + "_counts must start and end with a non-zero count");
            if (offset.v < lo || offset.v > hi - static_cast<i64>(counts.size()) + 1)
                invalid(w + "_offset puts buckets outside the range of finite values");
        }
        out.from_record(offset, counts, collapsed);
    };
    store("negative", d.negative_offset, d.negative_counts, d.negative_collapsed, -key_hi, -key_lo, negative_);
    store("positive", d.positive_offset, d.positive_counts, d.positive_collapsed, key_lo, key_hi, positive_);

    unsigned __int128 total = static_cast<unsigned __int128>(d.zero_count) + d.negative_infinity_count +
                              d.positive_infinity_count;
    for (u64 c : d.negative_counts) total += c;
    for (u64 c : d.positive_counts) total += c;
    if (total != d.count) invalid("bucket counts do not add up to count");
    n_ = d.count;
    zeros_ = d.zero_count;
    neg_inf_ = d.negative_infinity_count;
    pos_inf_ = d.positive_infinity_count;

    // min and max: present exactly when there are finite values, ordered,
    // and each in the lowest (highest) non-empty bucket. A key one off is
    // accepted: another build's logarithm may round a boundary value the
    // other way.
    const u64 finite_count = n_ - neg_inf_ - pos_inf_;
    if (d.min.has_value() != (finite_count > 0) || d.max.has_value() != (finite_count > 0))
        invalid("min and max are present exactly when there are finite values");
    if (finite_count > 0) {
        const double lo = *d.min, hi = *d.max;
        if (!std::isfinite(lo) || !std::isfinite(hi) || !(lo <= hi)) invalid("min and max must be finite and min <= max");
        if ((lo == 0 && std::signbit(lo)) || (hi == 0 && std::signbit(hi))) invalid("min and max must not be -0.0");
        auto near = [](i64 key, i64 bucket, bool collapsed) {
            return collapsed ? key <= bucket + 1 : key >= bucket - 1 && key <= bucket + 1;
        };
        bool ok;
        if (!negative_.empty())
            ok = lo < 0 && near(-index(-lo), negative_.lo(), negative_.collapsed());
        else if (zeros_)
            ok = lo == 0;
        else
            ok = lo > 0 && near(index(lo), positive_.lo(), positive_.collapsed());
        if (!ok) invalid("min is not in the lowest bucket");
        if (!positive_.empty())
            ok = hi > 0 && near(index(hi), positive_.hi(), false);
        else if (zeros_)
            ok = hi == 0;
        else
            ok = hi < 0 && near(-index(-hi), negative_.hi(), false);
        if (!ok) invalid("max is not in the highest bucket");
        min_ = lo;
        max_ = hi;
    }

    if (!sum_.from_record(d.sum_negative, d.sum_magnitude))
        invalid("sum_negative must be 0 or 1 (0 for a zero sum) and sum_magnitude at most 34 words, the last non-zero");
    const double s = sum_.value();
    if (finite_count == 0) {
        if (!d.sum_magnitude.empty()) invalid("the sum of no finite values is zero");
    } else {
        const double fc = static_cast<double>(finite_count);
        const double low = min_ * fc, high = max_ * fc;
        if (s < low - std::fabs(low) * 1e-9 || s > high + std::fabs(high) * 1e-9)
            invalid("the sum is outside count times [min, max]");
    }
}

double DDSketch::representative(i64 i) const noexcept {
    return std::exp(static_cast<double>(i) * log_gamma_ + log_scale_);
}

double DDSketch::min() const noexcept {
    if (neg_inf_) return -std::numeric_limits<double>::infinity();
    if (n_ - pos_inf_) return min_;
    return pos_inf_ ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
}

double DDSketch::max() const noexcept {
    if (pos_inf_) return std::numeric_limits<double>::infinity();
    if (n_ - neg_inf_) return max_;
    return neg_inf_ ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
}

double DDSketch::sum() const noexcept {
    if (pos_inf_ && neg_inf_) return std::numeric_limits<double>::quiet_NaN();
    if (pos_inf_) return std::numeric_limits<double>::infinity();
    if (neg_inf_) return -std::numeric_limits<double>::infinity();
    return sum_.value();
}

double DDSketch::mean() const {
    if (n_ == 0) empty_sketch(class_name);
    const double nn = static_cast<double>(n_);
    if (pos_inf_ || neg_inf_) return sum() / nn;
    const double s = sum_.value();
    if (std::isfinite(s)) return s / nn;
    return std::ldexp(sum_.value(64) / nn, 64);  // the sum overflows, the mean need not
}

u64 DDSketch::num_buckets() const noexcept {
    u64 b = 0;
    for (const dd::Store* s : {&negative_, &positive_})
        if (!s->empty())
            for (i64 k = s->lo(); k <= s->hi(); ++k) b += s->at(k) != 0;
    return b;
}

u64 DDSketch::size_in_bytes() const noexcept {
    return sizeof(DDSketch) + negative_.size_in_bytes() + positive_.size_in_bytes();
}

void DDSketch::merge(const DDSketch& o) {
    if (o.alpha_ != alpha_)
        value_error("Cannot merge: relative_accuracy mismatch (" + format_double(alpha_) + " vs " +
                    format_double(o.alpha_) + ")");
    if (&o == this) {
        const DDSketch copy = o;
        merge(copy);
        return;
    }
    view_.reset();
    auto store = [&](dd::Store& into, const dd::Store& from) {
        if (from.empty()) return;
        // Highest first: a collapse then happens at most once.
        for (i64 k = from.hi(); k >= from.lo(); --k)
            if (const u64 c = from.at(k)) into.add(k, c, max_buckets_);
        if (from.collapsed()) into.collapse_below(from.lo());
    };
    store(negative_, o.negative_);
    store(positive_, o.positive_);
    n_ += o.n_;
    zeros_ += o.zeros_;
    neg_inf_ += o.neg_inf_;
    pos_inf_ += o.pos_inf_;
    min_ = std::min(min_, o.min_);
    max_ = std::max(max_, o.max_);
    sum_.merge(o.sum_);
}

void DDSketch::clear() noexcept {
    view_.reset();
    n_ = zeros_ = neg_inf_ = pos_inf_ = 0;
    min_ = std::numeric_limits<double>::infinity();
    max_ = -min_;
    sum_ = dd::ExactSum{};
    negative_.clear();
    positive_.clear();
}

u64 DDSketch::collapsed_count() const noexcept {
    u64 c = 0;
    for (const dd::Store* s : {&negative_, &positive_})
        if (s->collapsed()) c += s->at(s->lo());
    return c;
}

// The largest q with q * n <= count in floating point: quantile(q) reaches
// past the first `count` values exactly when q is above it.
static double last_q_within(u64 count, double n) {
    double q = static_cast<double>(count) / n;
    const double c = static_cast<double>(count);
    while (q * n > c) q = std::nextafter(q, -1.0);
    while (q < 1.0 && std::nextafter(q, 2.0) * n <= c) q = std::nextafter(q, 2.0);
    return q;
}

std::vector<std::pair<double, double>> DDSketch::collapsed_ranks() const {
    std::vector<std::pair<double, double>> out;
    const double nn = static_cast<double>(n_);
    auto interval = [&](u64 low, u64 count) { out.emplace_back(last_q_within(low, nn), last_q_within(low + count, nn)); };
    if (negative_.collapsed()) interval(neg_inf_, negative_.at(negative_.lo()));
    if (positive_.collapsed()) interval(neg_inf_ + store_total(negative_) + zeros_, positive_.at(positive_.lo()));
    return out;
}

const SortedView& DDSketch::sorted_view() const {
    if (view_) return *view_;
    SortedView v;
    const double lo = min(), hi = max();
    u64 cum = 0;
    auto push = [&](double x, u64 c) {
        cum += c;
        v.values.push_back(std::clamp(x, lo, hi));
        v.cumulative.push_back(cum);
    };
    if (neg_inf_) push(-std::numeric_limits<double>::infinity(), neg_inf_);
    if (!negative_.empty())
        for (i64 k = negative_.lo(); k <= negative_.hi(); ++k)
            if (const u64 c = negative_.at(k)) push(-representative(-k), c);
    if (zeros_) push(0.0, zeros_);
    if (!positive_.empty())
        for (i64 k = positive_.lo(); k <= positive_.hi(); ++k)
            if (const u64 c = positive_.at(k)) push(representative(k), c);
    if (pos_inf_) push(std::numeric_limits<double>::infinity(), pos_inf_);
    return view_.emplace(std::move(v));
}

std::string DDSketch::repr() const {
    auto num = [](double x) { return std::isinf(x) ? std::string(x > 0 ? "inf" : "-inf") : format_double(x); };
    std::string s = "DDSketch(relative_accuracy=" + format_double(alpha_) + ", n=" + std::to_string(n_);
    if (n_) s += ", min=" + num(min()) + ", max=" + num(max());
    s += ", buckets=" + std::to_string(num_buckets());
    if (const u64 c = collapsed_count()) s += ", collapsed=" + std::to_string(c);
    return s + ")";
}

DDSketchData DDSketch::to_data() const {
    DDSketchData d;
    d.relative_accuracy = alpha_;
    d.max_buckets = max_buckets_;
    d.count = n_;
    d.zero_count = zeros_;
    d.negative_infinity_count = neg_inf_;
    d.positive_infinity_count = pos_inf_;
    if (n_ - neg_inf_ - pos_inf_) {
        d.min = min_;
        d.max = max_;
    }
    sum_.to_record(d.sum_negative, d.sum_magnitude);
    negative_.to_record(d.negative_offset, d.negative_counts, d.negative_collapsed);
    positive_.to_record(d.positive_offset, d.positive_counts, d.positive_collapsed);
    return d;
}

}  // namespace murk
