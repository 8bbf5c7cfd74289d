// Scalable Bloom filter: a chain of Bloom slices, each larger and stricter
// than the one before, so an unknown number of items keeps the compound
// false-positive rate under the target. Slices reuse the Bloom sizing rule
// and the bit-array helpers of bloom.hpp.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "bloom.hpp"
#include "persistence.hpp"
#include "utils.hpp"

namespace murk {

struct BloomFilterSlice {
    static constexpr std::string_view name = "BloomFilterSlice";
    Array<u64> bits;
    u64 num_bits = 0;
    u32 num_hashes = 0;
    u64 count = 0;
    u64 capacity = 0;
    double fpr = 0;
    template <class S, class V>
    static void fields(S& s, V&& v) {
        v("bits", s.bits);
        v("num_bits", s.num_bits);
        v("num_hashes", s.num_hashes);
        v("count", s.count);
        v("capacity", s.capacity);
        v("fpr", s.fpr);
    }
};

// The persisted record is also the filter's state.
struct ScalableBloomFilterData {
    static constexpr std::string_view name = "ScalableBloomFilterData";
    std::vector<BloomFilterSlice> slices;  // oldest first
    u64 initial_capacity = 0;
    double initial_fpr = 0;
    double growth_ratio = 0;
    double fpr_ratio = 0;
    u64 seed = 0;
    template <class S, class V>
    static void fields(S& s, V&& v) {
        v("slices", s.slices);
        v("initial_capacity", s.initial_capacity);
        v("initial_fpr", s.initial_fpr);
        v("growth_ratio", s.growth_ratio);
        v("fpr_ratio", s.fpr_ratio);
        v("seed", s.seed);
    }
};

// Sums over slices can pass 2^64 in a loaded record (capacities are only
// bounded per slice), so they are kept exact.
using Wide = unsigned __int128;
std::string wide_to_string(Wide v);

// A slice test that mostly misses cache: after the first position (which the
// batch loops prefetch) positions are tested four at a time, so their loads
// overlap instead of waiting on one another. Same answer as bits::test.
inline bool slice_has(const u64* w, HashPair p, u64 k, const Mod64& mod) noexcept {
    if (k < 6) return bits::test(w, p, k, mod);
    auto bit = [&](u64 q) { return w[q >> 6] >> (q & 63); };
    u64 h = p.h1;
    if (!(bit(mod(h)) & 1)) return false;
    u64 i = 1;
    for (h += p.h2; i + 4 <= k; i += 4) {
        u64 q0 = mod(h), q1 = mod(h + p.h2), q2 = mod(h + 2 * p.h2), q3 = mod(h + 3 * p.h2);
        h += 4 * p.h2;
        if (!(bit(q0) & bit(q1) & bit(q2) & bit(q3) & 1)) return false;
    }
    for (; i < k; ++i, h += p.h2)
        if (!(bit(mod(h)) & 1)) return false;
    return true;
}

class ScalableBloomFilter {
public:
    static constexpr Format format{"MKSB", 2};

    ScalableBloomFilter(u64 initial_capacity, double false_positive_rate, double growth_ratio, double fpr_ratio,
                        u64 seed);
    explicit ScalableBloomFilter(ScalableBloomFilterData d);  // validates

    u64 seed() const noexcept { return d_.seed; }

    bool contains(HashPair p) const noexcept {
        for (std::size_t s = 0, n = d_.slices.size(); s < n; ++s)
            if (slice_has(d_.slices[s].bits.data(), p, d_.slices[s].num_hashes, mods_[s])) return true;
        return false;
    }
    // Items any slice already reports are skipped; a full newest slice makes
    // room by appending the next one.
    void insert(HashPair p) {
        if (d_.slices.empty()) append_slice();
        if (contains(p)) return;
        if (d_.slices.back().count >= d_.slices.back().capacity) append_slice();
        BloomFilterSlice& s = d_.slices.back();
        bits::set(s.bits.data(), p, s.num_hashes, mods_.back());
        ++s.count;
    }

    // Batch loops hash a few items ahead and prefetch the word of each
    // slice's first position, where most membership tests end.
    template <class PairAt>
    void insert_many(std::size_t n, PairAt&& pair_at) {
        ahead(n, pair_at, [&](std::size_t, HashPair p) { insert(p); });
    }
    template <class PairAt>
    void contains_many(std::size_t n, PairAt&& pair_at, bool* out) const {
        ahead(n, pair_at, [&](std::size_t i, HashPair p) { out[i] = contains(p); });
    }

    void clear();

    u64 num_slices() const noexcept { return d_.slices.size(); }
    Wide count() const noexcept;
    Wide capacity() const noexcept;
    u64 size_in_bytes() const noexcept;
    double false_positive_rate() const noexcept;
    const char* health() const noexcept { return false_positive_rate() > d_.initial_fpr ? "warning" : "healthy"; }
    std::string repr() const;

    std::string to_bytes() const { return murk::to_bytes(d_, format); }
    std::string to_json() const { return murk::to_json(d_); }
    static ScalableBloomFilter from_bytes(std::string_view b) {
        return ScalableBloomFilter(murk::from_bytes<ScalableBloomFilterData>(b, format));
    }
    static ScalableBloomFilter from_json(std::string_view t) {
        return ScalableBloomFilter(murk::from_json<ScalableBloomFilterData>(t));
    }

private:
    void append_slice();
    BloomFilterSlice next_slice() const;

    template <class PairAt, class Apply>
    void ahead(std::size_t n, PairAt& pair_at, Apply&& apply) const {
        HashPair ring[bits::AHEAD];
        auto stage = [&](std::size_t j) {
            HashPair p = pair_at(j);
            ring[j % bits::AHEAD] = p;
            for (std::size_t s = 0, m = d_.slices.size(); s < m; ++s)
                prefetch(&d_.slices[s].bits[mods_[s](p.h1) >> 6]);
        };
        for (std::size_t j = 0; j < n && j < bits::AHEAD; ++j) stage(j);
        for (std::size_t i = 0; i < n; ++i) {
            HashPair p = ring[i % bits::AHEAD];
            if (i + bits::AHEAD < n) stage(i + bits::AHEAD);
            apply(i, p);
        }
    }

    ScalableBloomFilterData d_;
    std::vector<Mod64> mods_;  // one per slice, same order
};

}  // namespace murk
