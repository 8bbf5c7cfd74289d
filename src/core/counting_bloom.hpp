// Counting Bloom filter: one 8-bit counter per position instead of a bit, so
// items can be removed again. Counters never wrap: an add that would push any
// counter past 255 is refused whole.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "persistence.hpp"
#include "utils.hpp"

namespace murk {

// The persisted record is also the filter's state.
struct CountingBloomFilterData {
    static constexpr std::string_view name = "CountingBloomFilterData";
    Array<u8> counters;
    u64 num_counters = 0;
    u32 num_hashes = 0;
    u64 count = 0;
    u64 seed = 0;
    template <class S, class V>
    static void fields(S& s, V&& v) {
        v("counters", s.counters);
        v("num_counters", s.num_counters);
        v("num_hashes", s.num_hashes);
        v("count", s.count);
        v("seed", s.seed);
    }
};

class CountingBloomFilter {
public:
    static constexpr Format format{"MKCB", 2};
    // Adds with up to this many positions check from a stack buffer; larger
    // ones increment in place and undo on refusal (no per-add allocation).
    static constexpr u64 MAX_BUFFERED_K = 64;
    // Batch loops keep this many items' positions computed and prefetched.
    static constexpr std::size_t AHEAD = 8;
    static constexpr u64 MAX_PIPELINED_K = 16;

    CountingBloomFilter(std::optional<u64> expected_items, double false_positive_rate,
                        std::optional<u64> num_counters, std::optional<u32> num_hashes, u64 seed);
    explicit CountingBloomFilter(CountingBloomFilterData d);  // validates

    u64 seed() const noexcept { return d_.seed; }
    u64 num_counters() const noexcept { return d_.num_counters; }
    u32 num_hashes() const noexcept { return d_.num_hashes; }
    u64 count() const noexcept { return d_.count; }
    u64 size_in_bytes() const noexcept { return d_.counters.size(); }
    const CountingBloomFilterData& data() const noexcept { return d_; }

    // Checked increment; throws OverflowError and changes nothing if refused.
    void insert(HashPair p);
    bool contains(HashPair p) const noexcept {
        const u8* c = d_.counters.data();
        return all_indices(p, d_.num_hashes, mod_, [c](u64 q) { return c[q] != 0; });
    }
    u32 min_count(HashPair p) const noexcept;
    bool remove(HashPair p) noexcept;

    // Applies items in order; the first refused one stops the batch (items
    // before it stay added) and its OverflowError is thrown.
    template <class PairAt>
    void insert_many(std::size_t n, PairAt&& pair_at);
    template <class PairAt>
    void contains_many(std::size_t n, PairAt&& pair_at, bool* out) const;

    void merge(const CountingBloomFilter& other);
    void clear() noexcept;

    u64 nonzero() const noexcept;
    double fill_ratio() const noexcept {
        return static_cast<double>(nonzero()) / static_cast<double>(d_.num_counters);
    }
    double false_positive_rate() const noexcept;
    const char* health() const noexcept;
    std::string repr() const;

    std::string to_bytes() const { return murk::to_bytes(d_, format); }
    std::string to_json() const { return murk::to_json(d_); }
    static CountingBloomFilter from_bytes(std::string_view b) {
        return CountingBloomFilter(murk::from_bytes<CountingBloomFilterData>(b, format));
    }
    static CountingBloomFilter from_json(std::string_view t) {
        return CountingBloomFilter(murk::from_json<CountingBloomFilterData>(t));
    }

private:
    [[noreturn]] static void refuse();
    // Checks and writes k buffered positions; false (nothing written) if refused.
    bool apply(const u64* pos, u64 k) noexcept;
    bool apply_unbuffered(HashPair p) noexcept;
    bool try_insert(HashPair p) noexcept;  // counters only, not `count`
    template <class PairAt, class Apply>
    void pipeline(std::size_t n, PairAt&& pair_at, Apply&& apply) const;

    CountingBloomFilterData d_;
    Mod64 mod_;
};

// Positions of item i + AHEAD are computed and prefetched while item i is
// applied, so the cache misses of several items overlap.
template <class PairAt, class Apply>
void CountingBloomFilter::pipeline(std::size_t n, PairAt&& pair_at, Apply&& apply) const {
    const u64 k = d_.num_hashes;
    const u8* c = d_.counters.data();
    u64 ring[AHEAD][MAX_PIPELINED_K];
    auto stage = [&](std::size_t j) {
        u64* pos = ring[j % AHEAD];
        u64 i = 0;
        for_each_index(pair_at(j), k, mod_, [&](u64 q) {
            pos[i++] = q;
            prefetch(c + q);
        });
    };
    for (std::size_t j = 0; j < n && j < AHEAD; ++j) stage(j);
    for (std::size_t i = 0; i < n; ++i) {
        u64 pos[MAX_PIPELINED_K];
        std::copy(ring[i % AHEAD], ring[i % AHEAD] + k, pos);
        if (i + AHEAD < n) stage(i + AHEAD);
        if (!apply(i, static_cast<const u64*>(pos))) return;
    }
}

template <class PairAt>
void CountingBloomFilter::insert_many(std::size_t n, PairAt&& pair_at) {
    const u64 k = d_.num_hashes;
    std::size_t done = 0;
    if (k > MAX_PIPELINED_K) {
        while (done < n && try_insert(pair_at(done))) ++done;
    } else {
        pipeline(n, pair_at, [&](std::size_t, const u64* pos) {
            if (!apply(pos, k)) return false;
            ++done;
            return true;
        });
    }
    d_.count = sat_add(d_.count, done);
    if (done < n) refuse();
}

template <class PairAt>
void CountingBloomFilter::contains_many(std::size_t n, PairAt&& pair_at, bool* out) const {
    const u64 k = d_.num_hashes;
    if (k > MAX_PIPELINED_K) {
        for (std::size_t i = 0; i < n; ++i) out[i] = contains(pair_at(i));
        return;
    }
    const u8* c = d_.counters.data();
    pipeline(n, pair_at, [&](std::size_t i, const u64* pos) {
        bool hit = true;
        for (u64 j = 0; j < k && hit; ++j) hit = c[pos[j]] != 0;
        out[i] = hit;
        return true;
    });
}

}  // namespace murk
