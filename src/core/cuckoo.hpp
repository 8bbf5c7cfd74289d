// Cuckoo filter: 16-bit fingerprints in buckets of four slots, two candidate
// buckets per item, bounded relocation with an undo log, deletion.
#pragma once

#include <string>
#include <string_view>

#include "persistence.hpp"
#include "utils.hpp"

namespace murk {

// A bucket is one 64-bit word: slot s is bits 16s..16s+15, which is also its
// little-endian byte layout on disk. 0 marks an empty slot.
namespace bucket {

inline constexpr u64 LANES_LOW = 0x0001000100010001ULL;
inline constexpr u64 LANES_HIGH = 0x8000800080008000ULL;

// Lowest slot holding f (f may be 0 for "empty"), or -1. The zero-lane test
// can only over-report lanes above a genuine match, so the lowest flag is exact.
inline int find(u64 w, u16 f) noexcept {
    u64 x = w ^ (LANES_LOW * f);
    u64 z = (x - LANES_LOW) & ~x & LANES_HIGH;
    return z ? __builtin_ctzll(z) >> 4 : -1;
}
inline u16 get(u64 w, int s) noexcept { return static_cast<u16>(w >> (16 * s)); }
inline void set(u64& w, int s, u16 f) noexcept {
    w = (w & ~(u64{0xffff} << (16 * s))) | (u64{f} << (16 * s));
}
inline u64 occupied(u64 w) noexcept {
    // A lane is non-zero iff any of its bits is set; fold each lane onto its top bit.
    u64 t = (w & ~LANES_HIGH) + ~LANES_HIGH;
    return static_cast<u64>(__builtin_popcountll((t | w) & LANES_HIGH));
}

}  // namespace bucket

// The bucket sequence of the record. Binary: a u64 count then the words (the
// same bytes as four u16 per bucket); JSON: [{"fingerprints": [a, b, c, d]}, ...].
struct CuckooBuckets {
    Array<u64> w;
};

template <>
struct Codec<CuckooBuckets> {
    using Words = Codec<Array<u64>>;
    static constexpr bool optional = false;
    static std::size_t size(const CuckooBuckets& b) { return Words::size(b.w); }
    static void write(Writer& w, const CuckooBuckets& b) { Words::write(w, b.w); }
    // The count is checked against the bytes present before anything is allocated.
    static void read(Reader& r, CuckooBuckets& b) { Words::read(r, b.w); }
    static void to_json(JsonOut& o, const CuckooBuckets& b);
    static void from_json(JsonIn& in, CuckooBuckets& b);
};

struct CuckooFilterData {
    static constexpr std::string_view name = "CuckooFilterData";
    static constexpr u8 VERSION = 2;
    u8 version = VERSION;
    CuckooBuckets buckets;
    u64 num_buckets = 0;
    std::optional<u64> capacity;  // absent on reading: 4 * num_buckets
    u64 count = 0;
    u64 seed = 0;
    template <class S, class V>
    static void fields(S& s, V&& v) {
        v("version", s.version);
        v("buckets", s.buckets);
        v("num_buckets", s.num_buckets);
        v("capacity", s.capacity);
        v("count", s.count);
        v("seed", s.seed);
    }
};

// Where an item or caller hash lives: its fingerprint and both buckets.
struct CuckooSlot {
    u16 f;
    u64 i1, i2;
};

class CuckooFilter {
public:
    static constexpr Format format{"MKCF", 1};
    static constexpr unsigned MAX_KICKS = 500;

    CuckooFilter(u64 capacity, u64 seed);
    explicit CuckooFilter(CuckooFilterData d);  // validates

    u64 seed() const noexcept { return d_.seed; }
    u64 capacity() const noexcept { return *d_.capacity; }
    u64 count() const noexcept { return d_.count; }
    u64 num_buckets() const noexcept { return d_.num_buckets; }
    u64 size_in_bytes() const noexcept { return 8 * d_.num_buckets; }

    // hash64 of the fingerprint's two little-endian bytes, through xxHash's own
    // short-input path directly: the generic entry point is not inlined.
    u64 alt(u64 i, u16 f) const noexcept {
        const xxh_u8 b[2] = {static_cast<xxh_u8>(f), static_cast<xxh_u8>(f >> 8)};
        return i ^ (XXH3_len_1to3_64b(b, 2, XXH3_kSecret, alt_seed_) & mask_);
    }
    CuckooSlot slot_of(Key k) const noexcept {
        u64 hf = hash64(k, d_.seed ^ G);
        u64 i1 = hash64(k, d_.seed) & mask_;
        u16 f = static_cast<u16>(hf);
        if (f < 2) f = 1;
        return {f, i1, alt(i1, f)};
    }
    CuckooSlot slot_of_hash(u64 x) const noexcept {
        u64 hf = splitmix64_mix(((d_.seed ^ G) ^ x) + G);
        u64 i1 = splitmix64_mix((d_.seed ^ x) + G) & mask_;
        u16 f = static_cast<u16>(hf);
        if (f == 0) f = 1;
        return {f, i1, alt(i1, f)};
    }

    bool insert(const CuckooSlot& s) noexcept;
    bool contains(const CuckooSlot& s) const noexcept {
        const u64* b = d_.buckets.w.data();
        return bucket::find(b[s.i1], s.f) >= 0 || bucket::find(b[s.i2], s.f) >= 0;
    }
    bool remove(const CuckooSlot& s) noexcept;

    // Batches keep AHEAD items in flight: item i + AHEAD is hashed and its two
    // buckets prefetched while item i is applied. slot_at(i) locates item i.
    template <class SlotAt>
    u64 insert_many(std::size_t n, SlotAt&& slot_at) {
        u64 added = 0;
        pipeline(n, slot_at, [&](std::size_t, const CuckooSlot& s) { added += insert(s); });
        return added;
    }
    template <class SlotAt>
    void contains_many(std::size_t n, SlotAt&& slot_at, bool* out) const {
        pipeline(n, slot_at, [&](std::size_t i, const CuckooSlot& s) { out[i] = contains(s); });
    }

    void clear() noexcept;
    double load_factor() const noexcept { return static_cast<double>(d_.count) / static_cast<double>(capacity()); }
    const char* health() const noexcept;
    std::string repr() const;

    std::string to_bytes() const { return murk::to_bytes(d_, format); }
    std::string to_json() const { return murk::to_json(d_); }
    static CuckooFilter from_bytes(std::string_view b) {
        return CuckooFilter(murk::from_bytes<CuckooFilterData>(b, format));
    }
    static CuckooFilter from_json(std::string_view t) { return CuckooFilter(murk::from_json<CuckooFilterData>(t)); }

private:
    static constexpr std::size_t AHEAD = 8;
    template <class SlotAt, class Apply>
    void pipeline(std::size_t n, SlotAt& slot_at, Apply&& apply) const {
        CuckooSlot ring[AHEAD];
        const u64* b = d_.buckets.w.data();
        auto stage = [&](std::size_t j) {
            ring[j % AHEAD] = slot_at(j);
            prefetch(&b[ring[j % AHEAD].i1]);
            prefetch(&b[ring[j % AHEAD].i2]);
        };
        for (std::size_t j = 0; j < n && j < AHEAD; ++j) stage(j);
        for (std::size_t i = 0; i < n; ++i) {
            CuckooSlot s = ring[i % AHEAD];
            if (i + AHEAD < n) stage(i + AHEAD);
            apply(i, s);
        }
    }

    CuckooFilterData d_;  // capacity is always present once constructed
    u64 mask_ = 0;
    u64 alt_seed_ = 0;
};

}  // namespace murk
