#include "kll.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace murk {

namespace {

// Doubles as unsigned keys in the same order (negatives reversed).
inline u64 key_of(double x) noexcept {
    const u64 b = std::bit_cast<u64>(x);
    return b ^ (static_cast<u64>(static_cast<std::int64_t>(b) >> 63) | 0x8000000000000000ULL);
}
inline double value_of(u64 k) noexcept {
    return std::bit_cast<double>(k & 0x8000000000000000ULL ? k ^ 0x8000000000000000ULL : ~k);
}

// Level 0 is sorted at every compaction, so every value goes through this
// once. Most compactions of level 0 hold a few dozen values (the slack the
// upper levels leave), which a comparison sort handles best; the large ones
// go through a least-significant-digit radix sort of the keys, skipping the
// bytes all values share (the sign and most of the exponent, typically).
// Below 512 values the radix sort's fixed cost (8 tables of 256 counts) loses.
void radix_sort(std::vector<double>& v, std::vector<u64>& a, std::vector<u64>& b) {
    const std::size_t n = v.size();
    if (n < 512) {
        std::sort(v.begin(), v.end());
        return;
    }
    a.resize(n);
    b.resize(n);
    u32 count[8][256] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const u64 k = key_of(v[i]);
        a[i] = k;
        for (int d = 0; d < 8; ++d) ++count[d][(k >> (8 * d)) & 0xff];
    }
    u64* src = a.data();
    u64* dst = b.data();
    for (int d = 0; d < 8; ++d) {
        u32* c = count[d];
        if (c[(src[0] >> (8 * d)) & 0xff] == n) continue;
        u32 sum = 0;
        for (int j = 0; j < 256; ++j) {
            const u32 x = c[j];
            c[j] = sum;
            sum += x;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const u64 k = src[i];
            dst[c[(k >> (8 * d)) & 0xff]++] = k;
        }
        std::swap(src, dst);
    }
    for (std::size_t i = 0; i < n; ++i) v[i] = value_of(src[i]);
}

// Merges the ascending run b into the ascending vector a, in place from the
// back, without branches on the comparison (the order of random values
// defeats the predictor). Equal values keep a's first.
void merge_into(std::vector<double>& a, const double* b, std::size_t nb) {
    std::size_t i = a.size(), j = nb, out = a.size() + nb;
    a.resize(out);
    double* p = a.data();
    while (i > 0 && j > 0) {
        const double x = p[i - 1], y = b[j - 1];
        const bool take_a = y < x;
        p[--out] = take_a ? x : y;
        i -= take_a;
        j -= !take_a;
    }
    while (j > 0) p[--out] = b[--j];
}

[[noreturn]] void invalid(const std::string& why) { value_error("Invalid KLLSketch: " + why); }

}  // namespace

u32 KLLSketch::capacity(u32 k, std::size_t depth) noexcept {
    if (depth > 30) return MIN_WIDTH;
    // ceil(k * (2/3)^depth) in integers, so every platform agrees.
    unsigned __int128 num = static_cast<unsigned __int128>(k) << depth, den = 1;
    for (std::size_t i = 0; i < depth; ++i) den *= 3;
    const u64 c = static_cast<u64>((num + den - 1) / den);
    return c < MIN_WIDTH ? MIN_WIDTH : static_cast<u32>(c);
}

KLLSketch::KLLSketch(u32 k, u64 seed) : k_(k), rng_(seed) {
    if (k < MIN_K || k > MAX_K) value_error("k must be between 8 and 65535");
    set_levels(1);
}

void KLLSketch::set_levels(std::size_t count) {
    levels_.resize(count);
    caps_.resize(count);
    total_cap_ = 0;
    for (std::size_t h = 0; h < count; ++h) {
        caps_[h] = capacity(k_, count - 1 - h);
        total_cap_ += caps_[h];
    }
    levels_[0].reserve(static_cast<std::size_t>(total_cap_));
}

bool KLLSketch::coin() noexcept {
    rng_ += G;
    return splitmix64_mix(rng_) >> 63;
}

void KLLSketch::update_many(const double* p, std::size_t n) {
    if (n > 0) view_.reset();
    while (n > 0) {
        const std::size_t m = std::min<std::size_t>(n, static_cast<std::size_t>(total_cap_ - retained_));
        double lo = min_, hi = max_;
        for (std::size_t i = 0; i < m; ++i) {
            lo = std::min(lo, p[i]);
            hi = std::max(hi, p[i]);
        }
        min_ = lo;
        max_ = hi;
        levels_[0].insert(levels_[0].end(), p, p + m);
        retained_ += m;
        n_ += m;
        p += m;
        n -= m;
        if (retained_ >= total_cap_) compress();
    }
}

// Compacts the lowest full level until the stack is under its total capacity.
void KLLSketch::compress() {
    while (retained_ >= total_cap_) {
        std::size_t h = 0;
        while (levels_[h].size() < caps_[h]) ++h;
        if (h + 1 == levels_.size()) {
            if (levels_.size() == MAX_LEVELS) value_error("KLLSketch is full: 2^64 values");
            set_levels(levels_.size() + 1);
        }
        compact(h);
    }
}

void KLLSketch::compact(std::size_t h) {
    std::vector<double>& lv = levels_[h];
    if (h == 0) radix_sort(lv, keys_, keys2_);
    // An odd value out stays behind: the smallest, so the level stays sorted.
    const std::size_t keep = lv.size() & 1;
    const std::size_t offset = keep + (coin() ? 1 : 0);
    half_.clear();
    for (std::size_t i = offset; i < lv.size(); i += 2) half_.push_back(lv[i]);
    merge_into(levels_[h + 1], half_.data(), half_.size());
    retained_ -= lv.size() - keep - half_.size();
    lv.resize(keep);
}

void KLLSketch::merge(const KLLSketch& o) {
    if (o.n_ == 0) return;
    view_.reset();
    if (o.levels_.size() > levels_.size()) set_levels(o.levels_.size());
    if (o.k_ < k_) {
        k_ = o.k_;
        set_levels(levels_.size());
    }
    levels_[0].insert(levels_[0].end(), o.levels_[0].begin(), o.levels_[0].end());
    for (std::size_t h = 1; h < o.levels_.size(); ++h) {
        merge_into(levels_[h], o.levels_[h].data(), o.levels_[h].size());
    }
    retained_ += o.retained_;
    n_ = sat_add(n_, o.n_);
    min_ = std::min(min_, o.min_);
    max_ = std::max(max_, o.max_);
    compress();
}

const SortedView& KLLSketch::sorted_view() const {
    if (view_) return *view_;
    std::vector<std::pair<double, u64>> all;
    all.reserve(static_cast<std::size_t>(retained_));
    for (std::size_t h = 0; h < levels_.size(); ++h)
        for (double x : levels_[h]) all.emplace_back(x, u64{1} << h);
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    SortedView v;
    v.values.reserve(all.size());
    v.cumulative.reserve(all.size());
    u64 c = 0;
    for (const auto& [x, w] : all) {
        c += w;
        v.values.push_back(x);
        v.cumulative.push_back(c);
    }
    return view_.emplace(std::move(v));
}

// Measured on this implementation: over 200 seeds per k, sketches of 300,000
// lognormal values, k from 16 to 2048. The 99th percentile of a single rank
// query's error times k stayed between 0.9 and 1.5, and of the largest error
// over 1000 evenly spaced ranks between 1.3 and 2.3; the constants add about
// ten percent to the largest of these.
double KLLSketch::normalized_rank_error(u32 k, bool pmf) {
    return (pmf ? PMF_A : RANK_A) / static_cast<double>(k);
}

KLLData KLLSketch::data() const {
    KLLData d;
    d.k = k_;
    d.rng = rng_;
    d.n = n_;
    d.min = Real{min_};
    d.max = Real{max_};
    d.level_sizes.reserve(levels_.size());
    d.items.reserve(static_cast<std::size_t>(retained_));
    for (const auto& lv : levels_) {
        d.level_sizes.push_back(static_cast<u32>(lv.size()));
        for (double x : lv) d.items.push_back(Real{x});
    }
    return d;
}

KLLSketch::KLLSketch(const KLLData& d) : k_(d.k), rng_(d.rng), n_(d.n), min_(d.min.v), max_(d.max.v) {
    if (d.version != KLLData::current_version) value_error("Unsupported KLLSketch data version");
    if (d.k < MIN_K || d.k > MAX_K) invalid("k must be between 8 and 65535");
    const std::size_t levels = d.level_sizes.size();
    if (levels == 0 || levels > MAX_LEVELS) invalid("the number of levels must be between 1 and 64");
    u64 count = 0;
    unsigned __int128 weight = 0;
    for (std::size_t h = 0; h < levels; ++h) {
        count += d.level_sizes[h];
        weight += static_cast<unsigned __int128>(d.level_sizes[h]) << h;
    }
    if (count != d.items.size()) invalid("the level sizes do not add up to the number of items");
    if (weight != d.n) invalid("the weights of the items do not add up to n");
    set_levels(levels);
    if (count >= total_cap_) invalid("more items than the levels hold");
    if (d.n == 0) {
        if (!(std::isinf(min_) && min_ > 0 && std::isinf(max_) && max_ < 0))
            invalid("an empty sketch has min inf and max -inf");
    } else if (std::isnan(min_) || std::isnan(max_) || min_ > max_) {
        invalid("min and max are not an interval");
    }
    std::size_t at = 0;
    for (std::size_t h = 0; h < levels; ++h) {
        std::vector<double>& lv = levels_[h];
        lv.reserve(h == 0 ? static_cast<std::size_t>(total_cap_) : d.level_sizes[h]);
        for (u32 i = 0; i < d.level_sizes[h]; ++i) {
            const double x = d.items[at++].v;
            if (std::isnan(x)) invalid("an item is NaN");
            if (x < min_ || x > max_) invalid("an item lies outside [min, max]");
            if (h > 0 && !lv.empty() && x < lv.back()) invalid("a level above the first is not sorted");
            lv.push_back(x);
        }
    }
    retained_ = count;
}

bool KLLSketch::operator==(const KLLSketch& o) const {
    auto same = [](double a, double b) { return std::bit_cast<u64>(a) == std::bit_cast<u64>(b); };
    if (k_ != o.k_ || rng_ != o.rng_ || n_ != o.n_ || !same(min_, o.min_) ||
        !same(max_, o.max_) || levels_.size() != o.levels_.size())
        return false;
    for (std::size_t h = 0; h < levels_.size(); ++h)
        if (levels_[h].size() != o.levels_[h].size() ||
            (!levels_[h].empty() &&
             std::memcmp(levels_[h].data(), o.levels_[h].data(), levels_[h].size() * sizeof(double)) != 0))
            return false;
    return true;
}

std::string KLLSketch::repr() const {
    std::string s = "KLLSketch(k=" + std::to_string(k_) + ", n=" + std::to_string(n_) +
                    ", retained=" + std::to_string(retained_) + ", levels=" + std::to_string(levels_.size());
    if (n_ > 0) {
        char b[80];
        std::snprintf(b, sizeof b, ", min=%.6g, max=%.6g", min_, max_);
        s += b;
    }
    return s + ", memory=" + std::to_string(size_in_bytes()) + "B)";
}

}  // namespace murk
