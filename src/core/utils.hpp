// Hashing, errors and storage shared by every structure. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Header-only xxHash: the hot loops inline XXH3 and wheels need no shared library.
#ifndef XXH_INLINE_ALL
#define XXH_INLINE_ALL
#endif
#include <xxhash.h>

namespace murk {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

// Golden-ratio increment: every per-row / per-slot seed derivation steps by it.
inline constexpr u64 G = 0x9e3779b97f4a7c15ULL;
inline constexpr u64 U64_MAX = ~0ULL;

// Errors carry the exact user-facing message; the binding layer picks the
// Python exception class from the kind.
struct Error : std::runtime_error {
    enum Kind { Value, Overflow };
    Kind kind;
    Error(Kind k, std::string msg) : std::runtime_error(std::move(msg)), kind(k) {}
};
[[noreturn]] inline void value_error(std::string msg) { throw Error(Error::Value, std::move(msg)); }
[[noreturn]] inline void overflow_error(std::string msg) { throw Error(Error::Overflow, std::move(msg)); }

// An item reduced to bytes. Points into storage owned by someone else.
struct Key {
    const char* data;
    std::size_t size;
};

inline u64 hash64(const void* data, std::size_t len, u64 seed) noexcept {
    return XXH3_64bits_withSeed(data, len, seed);
}
inline u64 hash64(Key k, u64 seed) noexcept { return hash64(k.data, k.size, seed); }

struct HashPair {
    u64 h1, h2;
};

inline HashPair hash_pair(Key k, u64 seed) noexcept { return {hash64(k, seed), hash64(k, seed + G)}; }

constexpr u64 splitmix64_mix(u64 z) noexcept {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

constexpr HashPair hash_pair_from_hash(u64 x, u64 seed) noexcept {
    u64 h1 = splitmix64_mix((seed ^ x) + G);
    u64 h2 = splitmix64_mix(((seed + G) ^ x) + G);
    return {h1, h2 ? h2 : G};
}

// Exact 64-bit remainder by a fixed divisor without a division instruction
// (Lemire, Kaser, Kurz: "Faster remainder by direct computation").
class Mod64 {
public:
    explicit Mod64(u64 d) noexcept : d_(d), m_(~static_cast<unsigned __int128>(0) / d + 1) {}
    u64 operator()(u64 a) const noexcept {
        unsigned __int128 low = m_ * a;
        unsigned __int128 bottom = (static_cast<unsigned __int128>(static_cast<u64>(low)) * d_) >> 64;
        unsigned __int128 top = static_cast<unsigned __int128>(static_cast<u64>(low >> 64)) * d_;
        return static_cast<u64>((bottom + top) >> 64);
    }
    u64 divisor() const noexcept { return d_; }

private:
    u64 d_;
    unsigned __int128 m_;
};

// The index sequence: position i = (h1 + i*h2) mod m, one addition per step.
template <class F>
inline void for_each_index(HashPair p, u64 k, const Mod64& mod, F&& f) {
    u64 h = p.h1;
    for (u64 i = 0; i < k; ++i, h += p.h2) f(mod(h));
}

// Same, stopping as soon as f returns false; returns whether it ran to the end.
template <class F>
inline bool all_indices(HashPair p, u64 k, const Mod64& mod, F&& f) {
    u64 h = p.h1;
    for (u64 i = 0; i < k; ++i, h += p.h2)
        if (!f(mod(h))) return false;
    return true;
}

// Allocator that takes zeroed memory from calloc and leaves default-constructed
// elements alone: a huge array costs address space only until it is touched,
// and an impossible size fails fast with bad_alloc instead of being zeroed.
template <class T>
struct ZeroAlloc {
    using value_type = T;
    ZeroAlloc() noexcept = default;
    template <class U>
    ZeroAlloc(const ZeroAlloc<U>&) noexcept {}
    T* allocate(std::size_t n) {
        void* p = std::calloc(n ? n : 1, sizeof(T));
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
    template <class U>
    bool operator==(const ZeroAlloc<U>&) const noexcept { return true; }
};

template <class T>
using Array = std::vector<T, ZeroAlloc<T>>;

inline u64 sat_add(u64 a, u64 b) noexcept {
    u64 r;
    return __builtin_add_overflow(a, b, &r) ? U64_MAX : r;
}

inline u64 sat_mul(u64 a, u64 b) noexcept {
    u64 r;
    return __builtin_mul_overflow(a, b, &r) ? U64_MAX : r;
}

// Double to u64 the way the sizing rules want it: NaN and negatives give 0,
// anything at or above 2^64 saturates.
inline u64 saturating_u64(double v) noexcept {
    if (!(v > 0)) return 0;
    if (v >= 18446744073709551616.0) return U64_MAX;
    return static_cast<u64>(v);
}

inline constexpr double LN2 = 0.6931471805599453;
inline constexpr double LN2_SQUARED = 0.4804530139182014;

// Bloom sizing: bits for n items at rate p, and hashes for m bits over n items.
u64 bloom_bits(u64 n, double p) noexcept;
u32 bloom_hashes(u64 m, u64 n_eff) noexcept;

// Number of 64-bit words for m bits, without overflow.
constexpr u64 words_for_bits(u64 m) noexcept { return m / 64 + (m % 64 != 0); }

inline void prefetch(const void* p) noexcept { __builtin_prefetch(p, 1, 1); }

u64 popcount_words(const u64* w, std::size_t n) noexcept;

// "0.0123" style fixed formatting, correctly rounded like Python's format().
std::string fixed(double v, int decimals);

}  // namespace murk
