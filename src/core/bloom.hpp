// Standard Bloom filter: m bits, k positions per item, no false negatives.
// The bit-array helpers here are shared with the scalable filter's slices.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "persistence.hpp"
#include "utils.hpp"

namespace murk {

namespace bits {

inline void set(u64* w, HashPair p, u64 k, const Mod64& mod) noexcept {
    for_each_index(p, k, mod, [w](u64 i) { w[i >> 6] |= u64{1} << (i & 63); });
}

inline bool test(const u64* w, HashPair p, u64 k, const Mod64& mod) noexcept {
    return all_indices(p, k, mod, [w](u64 i) { return (w[i >> 6] >> (i & 63)) & 1; });
}

// Batch loops keep a few items in flight: item i + AHEAD has its positions
// computed and prefetched while item i is applied, so cache misses overlap.
// pair_at(i) hashes item i; apply(i, positions) consumes them.
inline constexpr std::size_t AHEAD = 8;
inline constexpr u64 MAX_BUFFERED_K = 16;

template <class K, class PairAt, class Apply>
void pipeline(const u64* w, std::size_t n, K k, const Mod64& mod, PairAt&& pair_at, Apply&& apply) {
    u64 ring[AHEAD][MAX_BUFFERED_K];
    auto stage = [&](std::size_t j) {
        u64* pos = ring[j % AHEAD];
        u64 i = 0;
        for_each_index(pair_at(j), k, mod, [&](u64 q) {
            pos[i++] = q;
            prefetch(&w[q >> 6]);
        });
    };
    for (std::size_t j = 0; j < n && j < AHEAD; ++j) stage(j);
    for (std::size_t i = 0; i < n; ++i) {
        u64 pos[MAX_BUFFERED_K];
        std::copy(ring[i % AHEAD], ring[i % AHEAD] + k, pos);
        if (i + AHEAD < n) stage(i + AHEAD);
        apply(i, static_cast<const u64*>(pos));
    }
}

// Calls f(k) with k as a compile-time constant for the usual small counts, so
// the loops over an item's positions unroll (about twice as fast), else as is.
template <class F>
void with_k(u64 k, F&& f) {
    switch (k) {
        case 1: return f(std::integral_constant<u64, 1>{});
        case 2: return f(std::integral_constant<u64, 2>{});
        case 3: return f(std::integral_constant<u64, 3>{});
        case 4: return f(std::integral_constant<u64, 4>{});
        case 5: return f(std::integral_constant<u64, 5>{});
        case 6: return f(std::integral_constant<u64, 6>{});
        case 7: return f(std::integral_constant<u64, 7>{});
        case 8: return f(std::integral_constant<u64, 8>{});
        case 9: return f(std::integral_constant<u64, 9>{});
        case 10: return f(std::integral_constant<u64, 10>{});
        default: return f(k);
    }
}

}  // namespace bits

// The persisted record is also the filter's state.
struct BloomFilterData {
    static constexpr std::string_view name = "BloomFilterData";
    Array<u64> bits;
    u64 num_bits = 0;
    u32 num_hashes = 0;
    u64 count = 0;
    u64 seed = 0;
    template <class S, class V>
    static void fields(S& s, V&& v) {
        v("bits", s.bits);
        v("num_bits", s.num_bits);
        v("num_hashes", s.num_hashes);
        v("count", s.count);
        v("seed", s.seed);
    }
};

class BloomFilter {
public:
    static constexpr Format format{"MKBF", 2};

    BloomFilter(std::optional<u64> expected_items, double false_positive_rate, std::optional<u64> num_bits,
                std::optional<u32> num_hashes, u64 seed);
    explicit BloomFilter(BloomFilterData d);  // validates

    u64 seed() const noexcept { return d_.seed; }
    void insert(HashPair p) noexcept {
        bits::set(d_.bits.data(), p, d_.num_hashes, mod_);
        d_.count = sat_add(d_.count, 1);
    }
    bool contains(HashPair p) const noexcept { return bits::test(d_.bits.data(), p, d_.num_hashes, mod_); }

    template <class PairAt>
    void insert_many(std::size_t n, PairAt&& pair_at) {
        const u64 k = d_.num_hashes;
        if (k > bits::MAX_BUFFERED_K) {
            for (std::size_t i = 0; i < n; ++i) insert(pair_at(i));
            return;
        }
        u64* w = d_.bits.data();
        bits::with_k(k, [&](auto kk) {
            bits::pipeline(w, n, kk, mod_, pair_at, [&](std::size_t, const u64* pos) {
                for (u64 j = 0; j < kk; ++j) w[pos[j] >> 6] |= u64{1} << (pos[j] & 63);
            });
        });
        d_.count = sat_add(d_.count, n);
    }
    template <class PairAt>
    void contains_many(std::size_t n, PairAt&& pair_at, bool* out) const {
        const u64 k = d_.num_hashes;
        if (k > bits::MAX_BUFFERED_K) {
            for (std::size_t i = 0; i < n; ++i) out[i] = contains(pair_at(i));
            return;
        }
        const u64* w = d_.bits.data();
        bits::with_k(k, [&](auto kk) {
            bits::pipeline(w, n, kk, mod_, pair_at, [&](std::size_t i, const u64* pos) {
                bool hit = true;
                for (u64 j = 0; j < kk && hit; ++j) hit = (w[pos[j] >> 6] >> (pos[j] & 63)) & 1;
                out[i] = hit;
            });
        });
    }

    void merge(const BloomFilter& other);
    BloomFilter intersection(const BloomFilter& other) const;
    void clear() noexcept;

    u64 bit_count() const noexcept { return popcount_words(d_.bits.data(), d_.bits.size()); }
    double fill_ratio() const noexcept { return static_cast<double>(bit_count()) / static_cast<double>(d_.num_bits); }
    double false_positive_rate() const noexcept;
    double estimate_count() const noexcept;
    const char* health() const noexcept;
    bool is_saturated() const noexcept { return fill_ratio() >= 0.8; }
    std::string repr() const;

    u64 num_bits() const noexcept { return d_.num_bits; }
    u32 num_hashes() const noexcept { return d_.num_hashes; }
    u64 count() const noexcept { return d_.count; }
    u64 size_in_bytes() const noexcept { return 8 * d_.bits.size(); }

    std::string to_bytes() const { return murk::to_bytes(d_, format); }
    std::string to_json() const { return murk::to_json(d_); }
    static BloomFilter from_bytes(std::string_view b) { return BloomFilter(murk::from_bytes<BloomFilterData>(b, format)); }
    static BloomFilter from_json(std::string_view t) { return BloomFilter(murk::from_json<BloomFilterData>(t)); }

private:
    BloomFilterData d_;
    Mod64 mod_;
};

}  // namespace murk
