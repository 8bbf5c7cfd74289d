#include "theta_sketch.hpp"

#include <algorithm>
#include <cmath>

namespace murk {

namespace {

constexpr std::size_t MIN_SLOTS = 32;

void check_lg_k(u8 lg_k) {
    if (lg_k < ThetaSketch::MIN_LG_K || lg_k > ThetaSketch::MAX_LG_K) value_error("lg_k must be between 4 and 26");
}

// P(Binomial(n, p) <= m) for a real n >= m, summed from the bottom term in
// logs so that (1 - p)^n never underflows on its own.
double binomial_cdf(u64 m, double n, double p) {
    const double log_odds = std::log(p) - std::log1p(-p);
    double lt = n * std::log1p(-p);
    double sum = std::exp(lt);
    for (u64 i = 0; i < m; ++i) {
        lt += std::log((n - static_cast<double>(i)) / static_cast<double>(i + 1)) + log_odds;
        sum += std::exp(lt);
    }
    return std::min(sum, 1.0);
}

// Below this many retained hashes the bounds come from the binomial law
// itself; above it from its normal approximation.
constexpr u64 EXACT_BOUNDS_BELOW = 120;

// The set sizes N between which a retained count n is plausible when each
// member is retained with probability theta: the least N with
// P(X >= n) >= tail and the greatest with P(X <= n) >= tail.
std::pair<double, double> size_bounds(u64 n, double theta, double z) {
    const double nd = static_cast<double>(n);
    // Normal approximation: (n - N theta)^2 = z^2 N theta (1 - theta), solved for N.
    const double c = z * z * (1.0 - theta);
    const double root = std::sqrt(nd * c + c * c / 4.0);
    const double lo = std::max(nd, (nd + c / 2.0 - root) / theta);
    const double hi = (nd + c / 2.0 + root) / theta;
    if (n >= EXACT_BOUNDS_BELOW) return {lo, hi};
    const double tail = 0.5 * std::erfc(z / std::sqrt(2.0));
    auto solve = [&](double a, double b, auto&& above) {  // the N in [a, b] where above() turns true
        for (int i = 0; i < 100 && b - a > 1e-9 * b; ++i) {
            const double mid = 0.5 * (a + b);
            (above(mid) ? b : a) = mid;
        }
        return 0.5 * (a + b);
    };
    // The cdf falls as N grows. Bracket generously past the normal answers.
    const double far = hi * 2.0 + (z * z + 10.0) / theta;
    const double upper = solve(nd, far, [&](double N) { return binomial_cdf(n, N, theta) < tail; });
    const double lower =
        n == 0 ? 0.0 : solve(nd, far, [&](double N) { return 1.0 - binomial_cdf(n - 1, N, theta) >= tail; });
    return {std::max(nd, lower), std::max(upper, nd)};
}

}  // namespace

ThetaSketch::ThetaSketch(u8 lg_k, u64 seed) : lg_k_(lg_k), seed_(seed) {
    check_lg_k(lg_k);
    rebuild({}, MIN_SLOTS);
}

ThetaSketch::ThetaSketch(u8 lg_k, u64 seed, u64 limit, bool updatable, std::span<const u64> hashes)
    : lg_k_(lg_k), updatable_(updatable), seed_(seed), limit_(limit) {
    rebuild(hashes, slots_for(hashes.size(), lg_k));
}

ThetaSketch::ThetaSketch(const ThetaSketchData& d) : lg_k_(d.lg_k), seed_(d.seed), limit_(d.limit) {
    if (d.version != ThetaSketchData::current_version) value_error("Unsupported ThetaSketch data version");
    if (d.lg_k < MIN_LG_K || d.lg_k > MAX_LG_K) value_error("Invalid ThetaSketch: lg_k must be between 4 and 26");
    if (d.updatable > 1) value_error("Invalid ThetaSketch: updatable must be 0 or 1");
    const auto& h = d.hashes;
    if (h.size() > capacity()) value_error("Invalid ThetaSketch: more hashes than the sketch holds");
    if (!h.empty() && h.front() == 0) value_error("Invalid ThetaSketch: hash 0 is never retained");
    for (std::size_t i = 1; i < h.size(); ++i)
        if (h[i] <= h[i - 1]) value_error("Invalid ThetaSketch: hashes are not strictly increasing");
    if (!h.empty() && h.back() > d.limit) value_error("Invalid ThetaSketch: a hash lies above the limit");
    updatable_ = d.updatable == 1;
    rebuild(h, slots_for(h.size(), d.lg_k));
}

// Tables grow by doubling while at most half full, up to 2k slots, where
// 7k/4 hashes fit: linear probing still finds a hash in a few cache lines.
std::size_t ThetaSketch::slots_for(u64 count, u8 lg_k) {
    std::size_t s = MIN_SLOTS;
    while (count * 2 > s && s < max_slots(lg_k)) s *= 2;
    return s;
}

void ThetaSketch::rebuild(std::span<const u64> hs, std::size_t slots) {
    if (slots == slots_.size()) {
        std::fill(slots_.begin(), slots_.end(), 0);
    } else {
        Array<u64> fresh(slots);  // zeroed
        slots_.swap(fresh);
    }
    mask_ = slots - 1;
    full_ = slots < table_limit() ? slots / 2 : capacity();
    count_ = 0;
    for (u64 h : hs) {
        u64 i = h & mask_;
        while (slots_[i] != 0) i = (i + 1) & mask_;
        slots_[i] = h;
        ++count_;
    }
}

// A full table of 2k slots holds 7k/4 hashes; then the k least are kept and
// the limit falls just below the next one, so a rebuild costs O(k) once per
// 3k/4 new hashes.
void ThetaSketch::grow_or_cut() {
    if (slots_.size() < table_limit()) {
        std::vector<u64> hs;
        hs.reserve(count_);
        each_below(limit_, [&](u64 h) { hs.push_back(h); });
        rebuild(hs, slots_.size() * 2);
    } else {
        cut(k());
    }
}

void ThetaSketch::cut(u64 keep) {
    if (count_ <= keep) return;
    std::vector<u64> hs;
    hs.reserve(count_);
    each_below(limit_, [&](u64 h) { hs.push_back(h); });
    std::nth_element(hs.begin(), hs.begin() + static_cast<std::ptrdiff_t>(keep), hs.end());
    limit_ = hs[keep] - 1;  // hashes are never 0, so this cannot wrap
    hs.resize(keep);
    rebuild(hs, slots_.size());
}

void ThetaSketch::lower_limit(u64 limit) {
    if (limit >= limit_) return;
    limit_ = limit;
    std::vector<u64> hs;
    hs.reserve(count_);
    for (u64 h : slots_)
        if (h && h <= limit) hs.push_back(h);
    rebuild(hs, slots_.size());
}

bool ThetaSketch::contains(u64 h) const noexcept {
    for (u64 i = h & mask_;; i = (i + 1) & mask_) {
        if (slots_[i] == h) return true;
        if (slots_[i] == 0) return false;
    }
}

std::vector<u64> ThetaSketch::sorted_hashes() const {
    std::vector<u64> hs;
    hs.reserve(count_);
    for (u64 h : slots_)
        if (h) hs.push_back(h);
    std::sort(hs.begin(), hs.end());
    return hs;
}

double ThetaSketch::theta() const noexcept {
    return limit_ == U64_MAX ? 1.0 : std::ldexp(static_cast<double>(limit_) + 1.0, -64);
}

double ThetaSketch::estimate() const noexcept {
    return estimation_mode() ? static_cast<double>(count_) / theta() : static_cast<double>(count_);
}

u64 ThetaSketch::length() const noexcept { return saturating_u64(std::round(estimate())); }

double ThetaSketch::lower_bound(double z) const {
    if (!estimation_mode()) return static_cast<double>(count_);
    return size_bounds(count_, theta(), z).first;
}

double ThetaSketch::upper_bound(double z) const {
    if (!estimation_mode()) return static_cast<double>(count_);
    return size_bounds(count_, theta(), z).second;
}

void ThetaSketch::check_seeds(std::span<const ThetaSketch* const> xs) {
    if (xs.empty()) value_error("a set operation needs at least one sketch");
    for (const ThetaSketch* x : xs)
        if (x->seed_ != xs[0]->seed_)
            value_error("Cannot combine sketches of different seeds (" + std::to_string(xs[0]->seed_) + " vs " +
                        std::to_string(x->seed_) + ")");
}

// The union keeps the k least hashes below every operand's limit, wherever
// they come from; the limit falls below the next one. The cuts made on the
// way never drop one of those, so the result does not depend on the order.
ThetaSketch ThetaSketch::union_of(std::span<const ThetaSketch* const> xs) {
    check_seeds(xs);
    u8 lg = MAX_LG_K;
    u64 limit = U64_MAX;
    bool updatable = true;
    for (const ThetaSketch* x : xs) {
        lg = std::min(lg, x->lg_k_);
        limit = std::min(limit, x->limit_);
        updatable = updatable && x->updatable_;
    }
    u64 total = 0;
    for (const ThetaSketch* x : xs) total += x->count_;
    ThetaSketch r(lg, xs[0]->seed_);
    r.sparse_ = true;
    r.rebuild({}, 2 * slots_for(std::min(total, r.capacity()), lg));
    r.limit_ = limit;
    r.updatable_ = updatable;
    std::vector<u64> found;
    for (const ThetaSketch* x : xs) {
        found.clear();
        x->each_below(r.limit_, [&](u64 h) { found.push_back(h); });
        constexpr std::size_t AHEAD = 8;
        for (std::size_t i = 0; i < found.size(); ++i) {
            if (i + AHEAD < found.size()) prefetch(&r.slots_[found[i + AHEAD] & r.mask_]);
            if (found[i] <= r.limit_) r.put(found[i]);
        }
    }
    r.cut(r.k());
    r.sparse_ = false;
    std::vector<u64> hs;
    hs.reserve(r.count_);
    r.each_below(r.limit_, [&](u64 h) { hs.push_back(h); });
    r.rebuild(hs, slots_for(hs.size(), lg));
    return r;
}

ThetaSketch ThetaSketch::intersection_of(std::span<const ThetaSketch* const> xs) {
    check_seeds(xs);
    u8 lg = MAX_LG_K;
    u64 limit = U64_MAX;
    const ThetaSketch* least = xs[0];
    for (const ThetaSketch* x : xs) {
        lg = std::min(lg, x->lg_k_);
        limit = std::min(limit, x->limit_);
        if (x->count_ < least->count_) least = x;
    }
    // Below the least limit every operand holds every hash of its set, so
    // membership in all of them is membership in the intersection. The
    // candidates are filtered one operand at a time, their slots requested
    // a block ahead.
    std::vector<u64> hs;
    least->each_below(limit, [&](u64 h) { hs.push_back(h); });
    for (const ThetaSketch* x : xs) {
        if (x == least) continue;
        std::size_t kept = 0;
        constexpr std::size_t AHEAD = 16;
        for (std::size_t i = 0; i < hs.size(); ++i) {
            if (i + AHEAD < hs.size()) prefetch(&x->slots_[hs[i + AHEAD] & x->mask_]);
            const u64 h = hs[i];
            hs[kept] = h;
            kept += x->contains(h);
        }
        hs.resize(kept);
    }
    ThetaSketch r(lg, least->seed_, limit, false, hs);
    r.cut(r.k());
    return r;
}

ThetaSketch ThetaSketch::difference(const ThetaSketch& a, const ThetaSketch& b) {
    const ThetaSketch* both[] = {&a, &b};
    check_seeds(both);
    const u64 limit = std::min(a.limit_, b.limit_);
    std::vector<u64> hs;
    a.each_below(limit, [&](u64 h) {
        if (!b.contains(h)) hs.push_back(h);
    });
    ThetaSketch r(std::min(a.lg_k_, b.lg_k_), a.seed_, limit, false, hs);
    r.cut(r.k());
    return r;
}

// Among the union's retained hashes (a uniform sample of the union below its
// limit) the share found in both operands estimates the Jaccard similarity;
// its bounds are the Wilson score interval of that share.
std::array<double, 3> ThetaSketch::jaccard(const ThetaSketch& a, const ThetaSketch& b, double z) {
    const ThetaSketch* both[] = {&a, &b};
    const ThetaSketch u = union_of(both);
    if (u.count_ == 0) return {1.0, 1.0, 1.0};  // two empty sets are the same set
    u64 shared = 0;
    for (u64 h : u.slots_)
        if (h && a.contains(h) && b.contains(h)) ++shared;
    const double n = static_cast<double>(u.count_);
    const double p = static_cast<double>(shared) / n;
    if (!u.estimation_mode()) return {p, p, p};
    const double z2 = z * z;
    const double centre = (p + z2 / (2 * n)) / (1 + z2 / n);
    const double half = z / (1 + z2 / n) * std::sqrt(p * (1 - p) / n + z2 / (4 * n * n));
    return {std::max(0.0, centre - half), p, std::min(1.0, centre + half)};
}

void ThetaSketch::merge(const ThetaSketch& o) {
    const ThetaSketch* both[] = {this, &o};
    *this = union_of(both);
}

void ThetaSketch::clear() {
    limit_ = U64_MAX;
    updatable_ = true;
    Array<u64> none;
    slots_.swap(none);
    rebuild({}, MIN_SLOTS);
}

bool ThetaSketch::operator==(const ThetaSketch& o) const {
    if (lg_k_ != o.lg_k_ || seed_ != o.seed_ || limit_ != o.limit_ || updatable_ != o.updatable_ ||
        count_ != o.count_)
        return false;
    for (u64 h : slots_)
        if (h && !o.contains(h)) return false;
    return true;
}

std::string ThetaSketch::repr() const {
    return "ThetaSketch(lg_k=" + std::to_string(lg_k_) + ", estimate=" + fixed(estimate(), 0) +
           ", retained=" + std::to_string(count_) + ", theta=" + fixed(theta(), 6) + ")";
}

ThetaSketchData ThetaSketch::data() const {
    ThetaSketchData d;
    d.lg_k = lg_k_;
    d.seed = seed_;
    d.limit = limit_;
    d.updatable = updatable_ ? 1 : 0;
    d.hashes = sorted_hashes();
    return d;
}

}  // namespace murk
