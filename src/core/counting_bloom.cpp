#include "counting_bloom.hpp"

#include <cmath>
#include <cstring>

namespace murk {

namespace {

CountingBloomFilterData sized(std::optional<u64> n, double p, std::optional<u64> num_counters,
                              std::optional<u32> num_hashes, u64 seed) {
    if (!(p > 0.0 && p < 1.0)) value_error("false_positive_rate must be between 0 and 1 (exclusive)");
    CountingBloomFilterData d;
    if (num_counters) {
        if (*num_counters == 0) value_error("num_counters must be positive");
        d.num_counters = *num_counters;
    } else {
        if (!n) value_error("Either expected_items or num_counters must be provided");
        if (*n == 0) value_error("expected_items must be positive");
        d.num_counters = bloom_bits(*n, p);
    }
    if (num_hashes) {
        if (*num_hashes == 0) value_error("num_hashes must be positive");
        d.num_hashes = *num_hashes;
    } else {
        // n = 0 would make the hash count degenerate to 2^32 - 1: refuse it.
        if (n && *n == 0) value_error("expected_items must be positive");
        d.num_hashes = bloom_hashes(d.num_counters, n ? *n : std::max<u64>(d.num_counters / 10, 1));
    }
    if (d.num_counters > d.counters.max_size()) throw std::bad_alloc();
    d.counters.resize(static_cast<std::size_t>(d.num_counters));
    d.seed = seed;
    return d;
}

CountingBloomFilterData validated(CountingBloomFilterData d) {
    if (d.num_counters == 0) value_error("num_counters must be positive");
    if (d.num_hashes == 0) value_error("num_hashes must be positive");
    if (d.counters.size() != d.num_counters) value_error("counter array length does not match num_counters");
    return d;
}

void sort_positions(u64* s, u64 k) noexcept {
    if (k > 20) {
        std::sort(s, s + k);
        return;
    }
    for (u64 i = 1; i < k; ++i) {
        u64 v = s[i], j = i;
        for (; j > 0 && s[j - 1] > v; --j) s[j] = s[j - 1];
        s[j] = v;
    }
}

}  // namespace

CountingBloomFilter::CountingBloomFilter(std::optional<u64> n, double p, std::optional<u64> num_counters,
                                         std::optional<u32> num_hashes, u64 seed)
    : CountingBloomFilter(sized(n, p, num_counters, num_hashes, seed)) {}

CountingBloomFilter::CountingBloomFilter(CountingBloomFilterData d) : d_(validated(std::move(d))), mod_(d_.num_counters) {}

void CountingBloomFilter::refuse() { overflow_error("counter capacity exceeded; create a larger filter or clear it"); }

bool CountingBloomFilter::apply(const u64* pos, u64 k) noexcept {
    u8* c = d_.counters.data();
    // Usual case: every counter has room for all k increments, so repeated
    // positions cannot matter and no sorting is needed.
    bool roomy = true;
    for (u64 j = 0; j < k; ++j) roomy &= c[pos[j]] <= 255 - k;
    if (!roomy) {
        u64 s[MAX_BUFFERED_K];
        std::memcpy(s, pos, k * sizeof(u64));
        sort_positions(s, k);
        for (u64 j = 0; j < k;) {
            u64 e = j + 1;
            while (e < k && s[e] == s[j]) ++e;
            if (e - j > 255u - c[s[j]]) return false;
            j = e;
        }
    }
    for (u64 j = 0; j < k; ++j) ++c[pos[j]];
    return true;
}

// Too many positions for a buffer: increment in order and, on reaching a full
// counter, walk the same positions again to undo. The object is borrowed
// exclusively throughout, so nobody sees the intermediate state.
bool CountingBloomFilter::apply_unbuffered(HashPair p) noexcept {
    u8* c = d_.counters.data();
    const u64 k = d_.num_hashes;
    u64 h = p.h1, i = 0;
    for (; i < k; ++i, h += p.h2) {
        u64 q = mod_(h);
        if (c[q] == 255) break;
        ++c[q];
    }
    if (i == k) return true;
    h = p.h1;
    for (u64 j = 0; j < i; ++j, h += p.h2) --c[mod_(h)];
    return false;
}

bool CountingBloomFilter::try_insert(HashPair p) noexcept {
    const u64 k = d_.num_hashes;
    if (k > MAX_BUFFERED_K) return apply_unbuffered(p);
    u64 pos[MAX_BUFFERED_K];
    u64 i = 0;
    for_each_index(p, k, mod_, [&](u64 q) { pos[i++] = q; });
    return apply(pos, k);
}

void CountingBloomFilter::insert(HashPair p) {
    if (!try_insert(p)) refuse();
    d_.count = sat_add(d_.count, 1);
}

u32 CountingBloomFilter::min_count(HashPair p) const noexcept {
    const u8* c = d_.counters.data();
    u32 m = 255;
    all_indices(p, d_.num_hashes, mod_, [&](u64 q) {
        m = std::min<u32>(m, c[q]);
        return m != 0;
    });
    return m;
}

bool CountingBloomFilter::remove(HashPair p) noexcept {
    if (!contains(p)) return false;
    u8* c = d_.counters.data();
    // A position repeated r times loses up to r, never going below zero.
    for_each_index(p, d_.num_hashes, mod_, [c](u64 q) { c[q] -= c[q] != 0; });
    if (d_.count) --d_.count;
    return true;
}

void CountingBloomFilter::merge(const CountingBloomFilter& o) {
    auto mismatch = [](const char* field, u64 a, u64 b) {
        value_error(std::string("Cannot merge: ") + field + " mismatch (" + std::to_string(a) + " vs " +
                    std::to_string(b) + ")");
    };
    if (d_.num_counters != o.d_.num_counters) mismatch("num_counters", d_.num_counters, o.d_.num_counters);
    if (d_.num_hashes != o.d_.num_hashes) mismatch("num_hashes", d_.num_hashes, o.d_.num_hashes);
    if (d_.seed != o.d_.seed) mismatch("seed", d_.seed, o.d_.seed);
    u8* a = d_.counters.data();
    const u8* b = o.d_.counters.data();
    const std::size_t n = d_.counters.size();
    // Every position is checked before any is written.
    unsigned over = 0;
    for (std::size_t i = 0; i < n; ++i) over |= (unsigned{a[i]} + b[i]) >> 8;
    if (over) overflow_error("counter capacity exceeded during merge");
    for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<u8>(a[i] + b[i]);
    d_.count = sat_add(d_.count, o.d_.count);
}

void CountingBloomFilter::clear() noexcept {
    std::fill(d_.counters.begin(), d_.counters.end(), u8{0});
    d_.count = 0;
}

u64 CountingBloomFilter::nonzero() const noexcept {
    const u8* c = d_.counters.data();
    const std::size_t n = d_.counters.size();
    constexpr u64 low7 = 0x7f7f7f7f7f7f7f7fULL, high = 0x8080808080808080ULL;
    u64 z = 0;
    std::size_t i = 0;
    // Eight counters per word: a byte's high bit ends up set iff the byte is non-zero.
    for (; i + 8 <= n; i += 8) {
        u64 w;
        std::memcpy(&w, c + i, 8);
        z += static_cast<u64>(__builtin_popcountll((((w & low7) + low7) | w) & high));
    }
    for (; i < n; ++i) z += c[i] != 0;
    return z;
}

double CountingBloomFilter::false_positive_rate() const noexcept { return std::pow(fill_ratio(), d_.num_hashes); }

const char* CountingBloomFilter::health() const noexcept {
    double r = fill_ratio();
    return r >= 0.8 ? "saturated" : r >= 0.65 ? "warning" : "healthy";
}

std::string CountingBloomFilter::repr() const {
    return "CountingBloomFilter(num_counters=" + std::to_string(d_.num_counters) +
           ", num_hashes=" + std::to_string(d_.num_hashes) + ", count=" + std::to_string(d_.count) + ")";
}

}  // namespace murk
