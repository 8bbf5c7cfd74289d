// MinHash: a fixed-length signature of a set for Jaccard estimates.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "confidence.hpp"
#include "persistence.hpp"
#include "utils.hpp"

namespace murk {

// The persisted record is also the signature's state.
struct MinHashData {
    static constexpr std::string_view name = "MinHashData";
    static constexpr u8 current_version = 2;
    u8 version = current_version;
    Array<u64> signature;
    u64 num_hashes = 0;
    u64 seed = 0;
    template <class S, class V>
    static void fields(S& s, V&& v) {
        v("version", s.version);
        v("signature", s.signature);
        v("num_hashes", s.num_hashes);
        v("seed", s.seed);
    }
};

namespace minhash {

inline constexpr u64 EMPTY = U64_MAX;

// Slots are processed in blocks: the block's hashes land in a small buffer
// first, then one branch-free pass lowers the signature, which the compiler
// can vectorise. Batches run every item against one block before moving on,
// so a long signature is streamed once per batch rather than once per item.
inline constexpr std::size_t BLOCK = 256;

inline void lower(u64* sig, const u64* h, std::size_t n) noexcept {
    for (std::size_t j = 0; j < n; ++j) sig[j] = h[j] < sig[j] ? h[j] : sig[j];
}

// Lowers sig[j] by XXH3(key, first_seed + j * G) for j < n and a key of at
// most 16 bytes, the usual item size. Runs across slots in vector registers;
// the widest variant the processor supports is picked once at load time.
void lower_by_short_key(u64* sig, std::size_t n, u64 first_seed, const u8* key, std::size_t len) noexcept;

// One block of slots for one caller hash, vectorised the same way.
void lower_by_hash(u64* sig, std::size_t n, u64 first_seed, u64 x) noexcept;

// One block of slots [first, first + n) for one key: the length class is
// chosen once per key and block, then every slot of the block is hashed.
inline void lower_by_key(u64* sig, std::size_t n, u64 first_seed, Key k) noexcept {
    u64 h[BLOCK];
    const auto* p = reinterpret_cast<const u8*>(k.data);
    const std::size_t len = k.size;
    if (len <= 16) {
        lower_by_short_key(sig, n, first_seed, p, len);
        return;
    }
    if (len <= 128) {
        for (std::size_t j = 0; j < n; ++j)
            h[j] = XXH3_len_17to128_64b(p, len, XXH3_kSecret, sizeof(XXH3_kSecret), first_seed + j * G);
    } else if (len <= XXH3_MIDSIZE_MAX) {
        for (std::size_t j = 0; j < n; ++j)
            h[j] = XXH3_len_129to240_64b(p, len, XXH3_kSecret, sizeof(XXH3_kSecret), first_seed + j * G);
    } else {
        for (std::size_t j = 0; j < n; ++j) h[j] = hash64(p, len, first_seed + j * G);
    }
    lower(sig, h, n);
}

}  // namespace minhash

class MinHash {
public:
    static constexpr Format format{"MKMH", 1};

    MinHash(u64 num_hashes, u64 seed);
    explicit MinHash(MinHashData d);  // validates

    u64 num_hashes() const noexcept { return d_.num_hashes; }
    u64 seed() const noexcept { return d_.seed; }
    u64 size_in_bytes() const noexcept { return 8 * d_.signature.size(); }
    const Array<u64>& signature() const noexcept { return d_.signature; }

    void add_key(Key k) noexcept { add_keys(1, [k](std::size_t) { return k; }); }
    void add_hash(u64 x) noexcept { add_hashes(&x, 1); }

    template <class KeyAt>
    void add_keys(std::size_t count, KeyAt&& key_at) noexcept {
        for_each_block([&](u64* sig, std::size_t n, u64 first_seed) {
            for (std::size_t i = 0; i < count; ++i) minhash::lower_by_key(sig, n, first_seed, key_at(i));
        });
    }
    void add_hashes(const u64* xs, std::size_t count) noexcept {
        for_each_block([&](u64* sig, std::size_t n, u64 first_seed) {
            for (std::size_t i = 0; i < count; ++i) {
                minhash::lower_by_hash(sig, n, first_seed, xs[i]);
            }
        });
    }

    double jaccard(const MinHash& other) const;
    std::pair<double, double> jaccard_interval(const MinHash& other, double confidence) const;
    double standard_error() const noexcept;
    bool is_empty() const noexcept;

    void merge(const MinHash& other);
    void clear() noexcept { std::fill(d_.signature.begin(), d_.signature.end(), minhash::EMPTY); }
    std::string repr() const;

    std::string to_bytes() const { return murk::to_bytes(d_, format); }
    std::string to_json() const { return murk::to_json(d_); }
    static MinHash from_bytes(std::string_view b) { return MinHash(murk::from_bytes<MinHashData>(b, format)); }
    static MinHash from_json(std::string_view t) { return MinHash(murk::from_json<MinHashData>(t)); }

private:
    template <class F>
    void for_each_block(F&& f) noexcept {
        u64* sig = d_.signature.data();
        const std::size_t total = d_.signature.size();
        u64 first_seed = d_.seed;
        for (std::size_t b = 0; b < total; b += minhash::BLOCK) {
            const std::size_t n = std::min(minhash::BLOCK, total - b);
            f(sig + b, n, first_seed);
            first_seed += n * G;
        }
    }
    void check_compatible(const MinHash& other, const char* verb) const;

    MinHashData d_;
};

}  // namespace murk
