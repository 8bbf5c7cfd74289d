#include "minhash.hpp"

#include <cmath>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#endif

namespace murk {

namespace {

MinHashData validated(MinHashData d) {
    if (d.version != MinHashData::current_version) value_error("Unsupported MinHash data version");
    if (d.num_hashes == 0) value_error("num_hashes must be positive");
    if (d.signature.size() != d.num_hashes) value_error("signature length does not match num_hashes");
    return d;
}

MinHashData fresh(u64 num_hashes, u64 seed) {
    if (num_hashes == 0) value_error("num_hashes must be positive");
    MinHashData d;
    if (num_hashes > d.signature.max_size()) throw std::bad_alloc();
    d.signature.assign(static_cast<std::size_t>(num_hashes), minhash::EMPTY);
    d.num_hashes = num_hashes;
    d.seed = seed;
    return d;
}

[[noreturn]] void mismatch(const char* verb, const char* field, u64 a, u64 b) {
    value_error(std::string("Cannot ") + verb + ": " + field + " mismatch (" + std::to_string(a) + " vs " +
                std::to_string(b) + ")");
}

}  // namespace

namespace minhash {

namespace {

void short_scalar(u64* sig, std::size_t n, u64 s0, const u8* p, std::size_t len) noexcept {
    u64 h[BLOCK];
    for (std::size_t j = 0; j < n; ++j) h[j] = XXH3_len_0to16_64b(p, len, XXH3_kSecret, s0 + j * G);
    lower(sig, h, n);
}

void hash_scalar(u64* sig, std::size_t n, u64 first_seed, u64 x) noexcept {
    u64 h[BLOCK];
    for (std::size_t j = 0; j < n; ++j) h[j] = splitmix64_mix(((first_seed + j * G) ^ x) + G);
    lower(sig, h, n);
}

using ShortFn = void (*)(u64*, std::size_t, u64, const u8*, std::size_t) noexcept;
using HashFn = void (*)(u64*, std::size_t, u64, u64) noexcept;

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define MURK_AVX512_KERNELS 1

// AVX-512 kernels: eight slots per step, with 64-bit multiplies and an
// unsigned 64-bit minimum in hardware. Results are bit-identical to XXH3 and
// SplitMix64 as the scalar paths compute them.

[[gnu::always_inline]] inline void min_into(u64* sig, const u64* h, std::size_t n) noexcept {
    for (std::size_t j = 0; j < n; ++j) sig[j] = h[j] < sig[j] ? h[j] : sig[j];
}

[[gnu::always_inline]] inline u64 avalanche64(u64 h) noexcept {
    h ^= h >> 33;
    h *= XXH_PRIME64_2;
    h ^= h >> 29;
    h *= XXH_PRIME64_3;
    return h ^ (h >> 32);
}

[[gnu::always_inline]] inline u64 rotl(u64 v, int r) noexcept { return (v << r) | (v >> (64 - r)); }

// XXH3 of 0 to 8 bytes over slot seeds, in a form the compiler vectorises.
[[gnu::always_inline]] inline void upto8_hashes(const u8* p, std::size_t len, u64 s0, std::size_t n,
                                                u64* h) noexcept {
    const xxh_u8* secret = XXH3_kSecret;
    if (len >= 4) {
        const u64 input64 = XXH_readLE32(p + len - 4) + (static_cast<u64>(XXH_readLE32(p)) << 32);
        const u64 f = XXH_readLE64(secret + 8) ^ XXH_readLE64(secret + 16);
        for (std::size_t j = 0; j < n; ++j) {
            u64 s = s0 + j * G;
            s ^= static_cast<u64>(__builtin_bswap32(static_cast<u32>(s))) << 32;
            u64 x = input64 ^ (f - s);
            x ^= rotl(x, 49) ^ rotl(x, 24);
            x *= 0x9FB21C651E98DF25ULL;
            x ^= (x >> 35) + len;
            x *= 0x9FB21C651E98DF25ULL;
            h[j] = x ^ (x >> 28);
        }
    } else if (len > 0) {
        const u32 combined = (static_cast<u32>(p[0]) << 16) | (static_cast<u32>(p[len >> 1]) << 24) |
                             static_cast<u32>(p[len - 1]) | (static_cast<u32>(len) << 8);
        const u64 f = XXH_readLE32(secret) ^ XXH_readLE32(secret + 4);
        for (std::size_t j = 0; j < n; ++j) h[j] = avalanche64(combined ^ (f + s0 + j * G));
    } else {
        const u64 f = XXH_readLE64(secret + 56) ^ XXH_readLE64(secret + 64);
        for (std::size_t j = 0; j < n; ++j) h[j] = avalanche64((s0 + j * G) ^ f);
    }
}

// GCC 12 warns about its own intrinsics headers here (their "undefined"
// pass-through operands); the code below reads nothing uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// 9 to 16 byte keys are written with intrinsics: GCC does not see that the
// 32-bit halves of the 128-bit product need only vpmuludq.
[[gnu::target("arch=x86-64-v4")]] void short_v4(u64* sig, std::size_t n, u64 s0, const u8* p,
                                               std::size_t len) noexcept {
    if (len <= 8) {
        u64 h[BLOCK];
        upto8_hashes(p, len, s0, n, h);
        min_into(sig, h, n);
        return;
    }
    const xxh_u8* secret = XXH3_kSecret;
    const __m512i in_lo = _mm512_set1_epi64(static_cast<long long>(XXH_readLE64(p)));
    const __m512i in_hi = _mm512_set1_epi64(static_cast<long long>(XXH_readLE64(p + len - 8)));
    const __m512i f1 = _mm512_set1_epi64(static_cast<long long>(XXH_readLE64(secret + 24) ^ XXH_readLE64(secret + 32)));
    const __m512i f2 = _mm512_set1_epi64(static_cast<long long>(XXH_readLE64(secret + 40) ^ XXH_readLE64(secret + 48)));
    const __m512i vlen = _mm512_set1_epi64(static_cast<long long>(len));
    const __m512i low32 = _mm512_set1_epi64(0xffffffffLL);
    const __m512i mx1 = _mm512_set1_epi64(0x165667919E3779F9LL);
    const __m512i step = _mm512_set1_epi64(static_cast<long long>(8 * G));
    const __m512i swap = _mm512_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7,  //
                                         8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7,  //
                                         8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7,  //
                                         8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7);
    alignas(64) u64 first[8];
    for (int k = 0; k < 8; ++k) first[k] = s0 + static_cast<u64>(k) * G;
    __m512i s = _mm512_load_si512(first);
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8, s = _mm512_add_epi64(s, step)) {
        const __m512i lo = _mm512_xor_si512(in_lo, _mm512_add_epi64(f1, s));
        const __m512i hi = _mm512_xor_si512(in_hi, _mm512_sub_epi64(f2, s));
        const __m512i lo_h = _mm512_srli_epi64(lo, 32), hi_h = _mm512_srli_epi64(hi, 32);
        const __m512i ll = _mm512_mul_epu32(lo, hi), hl = _mm512_mul_epu32(lo_h, hi);
        const __m512i lh = _mm512_mul_epu32(lo, hi_h), hh = _mm512_mul_epu32(lo_h, hi_h);
        const __m512i cross =
            _mm512_add_epi64(_mm512_add_epi64(_mm512_srli_epi64(ll, 32), _mm512_and_si512(hl, low32)), lh);
        const __m512i upper =
            _mm512_add_epi64(_mm512_add_epi64(_mm512_srli_epi64(hl, 32), _mm512_srli_epi64(cross, 32)), hh);
        const __m512i lower = _mm512_or_si512(_mm512_slli_epi64(cross, 32), _mm512_and_si512(ll, low32));
        __m512i acc = _mm512_add_epi64(_mm512_add_epi64(vlen, _mm512_shuffle_epi8(lo, swap)), hi);
        acc = _mm512_add_epi64(acc, _mm512_xor_si512(lower, upper));
        acc = _mm512_xor_si512(acc, _mm512_srli_epi64(acc, 37));
        acc = _mm512_mullo_epi64(acc, mx1);
        acc = _mm512_xor_si512(acc, _mm512_srli_epi64(acc, 32));
        _mm512_storeu_si512(sig + j, _mm512_min_epu64(_mm512_loadu_si512(sig + j), acc));
    }
    for (; j < n; ++j) {
        const u64 h = XXH3_len_0to16_64b(p, len, secret, s0 + j * G);
        if (h < sig[j]) sig[j] = h;
    }
}
#pragma GCC diagnostic pop

[[gnu::target("arch=x86-64-v4")]] void hash_v4(u64* sig, std::size_t n, u64 first_seed, u64 x) noexcept {
    u64 h[BLOCK];
    for (std::size_t j = 0; j < n; ++j) h[j] = splitmix64_mix(((first_seed + j * G) ^ x) + G);
    min_into(sig, h, n);
}
#endif

struct Kernels {
    ShortFn short_fn = short_scalar;
    HashFn hash_fn = hash_scalar;
    Kernels() noexcept {
#ifdef MURK_AVX512_KERNELS
        __builtin_cpu_init();
        if (__builtin_cpu_supports("x86-64-v4")) {
            short_fn = short_v4;
            hash_fn = hash_v4;
        }
#endif
    }
};
const Kernels kernels;

}  // namespace

void lower_by_short_key(u64* sig, std::size_t n, u64 first_seed, const u8* key, std::size_t len) noexcept {
    kernels.short_fn(sig, n, first_seed, key, len);
}

void lower_by_hash(u64* sig, std::size_t n, u64 first_seed, u64 x) noexcept {
    kernels.hash_fn(sig, n, first_seed, x);
}

}  // namespace minhash

MinHash::MinHash(u64 num_hashes, u64 seed) : d_(fresh(num_hashes, seed)) {}

MinHash::MinHash(MinHashData d) : d_(validated(std::move(d))) {}

void MinHash::check_compatible(const MinHash& o, const char* verb) const {
    if (d_.num_hashes != o.d_.num_hashes) mismatch(verb, "num_hashes", d_.num_hashes, o.d_.num_hashes);
    if (d_.seed != o.d_.seed) mismatch(verb, "seed", d_.seed, o.d_.seed);
}

double MinHash::jaccard(const MinHash& o) const {
    check_compatible(o, "compare");
    const u64* a = d_.signature.data();
    const u64* b = o.d_.signature.data();
    u64 equal = 0;
    for (std::size_t i = 0, n = d_.signature.size(); i < n; ++i) equal += a[i] == b[i];
    return static_cast<double>(equal) / static_cast<double>(d_.num_hashes);
}

std::pair<double, double> MinHash::jaccard_interval(const MinHash& o, double confidence) const {
    const double j = jaccard(o);
    const double z = normal_quantile(confidence);
    const double half = z * std::sqrt(j * (1.0 - j) / static_cast<double>(d_.num_hashes));
    return {std::max(j - half, 0.0), std::min(j + half, 1.0)};
}

double MinHash::standard_error() const noexcept { return 1.0 / std::sqrt(static_cast<double>(d_.num_hashes)); }

bool MinHash::is_empty() const noexcept {
    return std::all_of(d_.signature.begin(), d_.signature.end(), [](u64 v) { return v == minhash::EMPTY; });
}

void MinHash::merge(const MinHash& o) {
    check_compatible(o, "merge");
    minhash::lower(d_.signature.data(), o.d_.signature.data(), d_.signature.size());
}

std::string MinHash::repr() const {
    return "MinHash(num_hashes=" + std::to_string(d_.num_hashes) + ", is_empty=" + (is_empty() ? "true" : "false") +
           ")";
}

}  // namespace murk
