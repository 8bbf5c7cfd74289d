// MinHashLSH: an index of MinHash signatures that answers "which stored keys
// share at least one band with this signature" in time independent of the
// number of keys.
//
// Storage, for n keys and b bands:
//  - keys: one arena of key bytes plus a type tag, offset and length per key
//    id, and an open-addressing table of ids for lookups by key;
//  - buckets: one open-addressing table per band, all of the same power-of-two
//    capacity and laid end to end in one flat array of (band hash, first key id);
//  - chains: the keys of one bucket form a doubly linked list through two
//    arrays of n * b u32 links. The first key of a chain has no predecessor
//    and keeps its bucket's slot in the prev link instead (flagged), so
//    removing a key touches only its neighbours and never searches.
// About 8 bytes of links per key and band plus the bucket tables (12 bytes a
// slot at a load of at most 0.7), with no per-bucket allocation at all.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "persistence.hpp"
#include "utils.hpp"

namespace murk {

// The persisted record: parameters, the keys in id order and, key-major, the
// band hash of every key in every band.
struct MinHashLSHData {
    static constexpr std::string_view name = "MinHashLSHData";
    static constexpr u8 current_version = 1;
    u8 version = current_version;
    double threshold = 0;
    double weight_fp = 0;
    double weight_fn = 0;
    u64 num_hashes = 0;
    u64 seed = 0;
    u64 bands = 0;
    u64 rows = 0;
    Array<u8> key_tags;
    Array<u32> key_lengths;
    Array<u8> key_bytes;
    Array<u64> band_hashes;
    template <class S, class V>
    static void fields(S& s, V&& v) {
        v("version", s.version);
        v("threshold", s.threshold);
        v("weight_fp", s.weight_fp);
        v("weight_fn", s.weight_fn);
        v("num_hashes", s.num_hashes);
        v("seed", s.seed);
        v("bands", s.bands);
        v("rows", s.rows);
        v("key_tags", s.key_tags);
        v("key_lengths", s.key_lengths);
        v("key_bytes", s.key_bytes);
        v("band_hashes", s.band_hashes);
    }
};

namespace lsh {

// Key type tags: the same bytes under different tags are different keys.
inline constexpr u8 TAG_STR = 0;  // UTF-8 (lone surrogates encoded as three bytes each)
inline constexpr u8 TAG_INT = 1;  // canonical decimal text

struct KeyRef {
    u8 tag;
    std::string_view bytes;
};

// The (bands, rows) pair with bands * rows <= num_hashes that minimises
// weight_fp * FP + weight_fn * FN, where with P(s) = 1 - (1 - s^rows)^bands
// FP = integral of P over [0, threshold] and FN = integral of 1 - P over
// [threshold, 1]. Ties go to the fewer bands, then the fewer rows.
std::pair<u64, u64> optimal_banding(double threshold, u64 num_hashes, double weight_fp, double weight_fn);

// Largest num_hashes for which the banding is chosen automatically.
inline constexpr u64 AUTO_BANDING_LIMIT = 8192;  // about a quarter of a second

// Whether bytes can be a key of the tag (the loader's check).
bool valid_key(u8 tag, std::string_view bytes) noexcept;

// Outcome of a batch that checks every key before it changes anything.
struct BatchCheck {
    enum Kind { Ok, Present, Repeated } kind = Ok;
    std::size_t index = 0;  // the offending key of the batch
    explicit operator bool() const { return kind == Ok; }
};

}  // namespace lsh

// A batch of keys: tags, lengths and one buffer of bytes.
struct KeyBatch {
    std::vector<u8> tags;
    std::vector<u32> lengths;
    std::vector<u64> offsets;
    std::string bytes;
    std::size_t size() const { return tags.size(); }
    lsh::KeyRef operator[](std::size_t i) const {
        return {tags[i], std::string_view(bytes.data() + offsets[i], lengths[i])};
    }
};

class MinHashLSH {
public:
    static constexpr Format format{"MKLH", 1};
    static constexpr u32 NONE = 0xFFFFFFFFu;

    MinHashLSH(double threshold, u64 num_hashes, double weight_fp, double weight_fn, std::optional<u64> bands,
               std::optional<u64> rows, u64 seed);
    explicit MinHashLSH(const MinHashLSHData& d);  // validates

    double threshold() const noexcept { return threshold_; }
    u64 num_hashes() const noexcept { return num_hashes_; }
    u64 seed() const noexcept { return seed_; }
    u64 bands() const noexcept { return bands_; }
    u64 rows() const noexcept { return rows_; }
    std::pair<double, double> weights() const noexcept { return {weight_fp_, weight_fn_}; }
    u64 size() const noexcept { return live_; }
    u64 size_in_bytes() const noexcept;
    std::string repr() const;

    // Signatures are num_hashes slot values; only the first bands * rows are read.
    // "verb" names the operation in the compatibility message.
    void check_minhash(u64 num_hashes, u64 seed, const char* verb) const;

    bool contains(lsh::KeyRef k) const noexcept { return find(k) != NONE; }
    bool insert(lsh::KeyRef k, const u64* signature);  // false: already present, nothing changed
    bool remove(lsh::KeyRef k);                          // false: not present

    // Inserts key i with signature sig(i) for every i, or nothing at all when
    // a key is present already or repeats within the batch.
    template <class SigAt>
    lsh::BatchCheck insert_many(const KeyBatch& keys, SigAt&& sig) {
        lsh::BatchCheck c = check_new(keys);
        if (!c) return c;
        reserve(live_ + keys.size(), keys.bytes.size());
        pipelined(keys.size(), sig, [&](std::size_t i, const u64* h) { add(keys[i], h); });
        return c;
    }

    // Ids of the keys sharing a bucket with the signature, ascending.
    void query(const u64* signature, std::vector<u32>& out) const;
    // query() for signatures sig(0) .. sig(n - 1); found(i, ids) receives each result.
    template <class SigAt, class Found>
    void query_many(std::size_t n, SigAt&& sig, Found&& found) const {
        std::vector<u32> ids;
        pipelined(n, sig, [&](std::size_t i, const u64* h) {
            lookup(h, ids);
            found(i, ids);
        });
    }
    lsh::KeyRef key(u32 id) const noexcept {
        const KeyEntry& e = keys_[id];
        return {e.tag, std::string_view(arena_.data() + e.offset, e.length)};
    }

    // Every key of other into this one; nothing changes when a key is in both
    // (returned as other's key) or the parameters differ (ValueError).
    std::optional<lsh::KeyRef> merge(const MinHashLSH& other);
    void clear() noexcept;

    MinHashLSHData record() const;
    std::string to_bytes() const { return murk::to_bytes(record(), format); }
    static MinHashLSH from_bytes(std::string_view b) {
        return MinHashLSH(murk::from_bytes<MinHashLSHData>(b, format));
    }

private:
    static constexpr u32 TOMB = 0xFFFFFFFEu;
    static constexpr u32 HEAD = 0x80000000u;  // prev link of a chain's first key: flag | bucket slot
    static constexpr u8 FREE_TAG = 0xFF;
    static constexpr u64 MAX_KEYS = HEAD - 1;

    u64 band_seed(u64 j) const noexcept { return splitmix64_mix(seed_ + j * G); }
    void band_hashes(const u64* sig, u64* out) const noexcept;
    // f(band hashes of sig), kept on the stack for the usual few bands.
    template <class F>
    void with_band_hashes(const u64* sig, F&& f) const {
        u64 small[64];
        std::vector<u64> big;
        u64* h = small;
        if (bands_ > 64) {
            big.resize(bands_);
            h = big.data();
        }
        band_hashes(sig, h);
        f(static_cast<const u64*>(h));
    }
    void prefetch_buckets(const u64* hashes) const noexcept;
    void lookup(const u64* hashes, std::vector<u32>& out) const;
    // f(i, band hashes of sig(i)) in order, with the buckets of signature
    // i + 1 already requested: large tables miss the cache on every band.
    template <class SigAt, class F>
    void pipelined(std::size_t n, SigAt& sig, F&& f) const {
        std::vector<u64> h(2 * bands_);
        u64 *cur = h.data(), *nxt = cur + bands_;
        if (n) band_hashes(sig(0), cur);
        for (std::size_t i = 0; i < n; ++i) {
            if (i + 1 < n) {
                band_hashes(sig(i + 1), nxt);
                prefetch_buckets(nxt);
            }
            f(i, cur);
            std::swap(cur, nxt);
        }
    }
    u64 key_hash(lsh::KeyRef k) const noexcept;
    bool same_key(u32 id, lsh::KeyRef k) const noexcept;
    u32 find(lsh::KeyRef k) const noexcept;
    lsh::BatchCheck check_new(const KeyBatch& keys) const;
    // Room for `keys` keys in all and key_bytes more bytes of key text.
    void reserve(u64 keys, u64 key_bytes = 0);
    void rehash_buckets(u64 capacity);
    void rehash_keys(u64 capacity);
    // Adds a key known to be absent with its precomputed band hashes; reserve() first.
    u32 add(lsh::KeyRef k, const u64* hashes);
    void compact_arena();
    // hashes[id * bands + j] for every live id (others untouched).
    void all_band_hashes(std::vector<u64>& out) const;

    double threshold_, weight_fp_, weight_fn_;
    u64 num_hashes_, seed_, bands_, rows_;

    // Keys by id; ids of removed keys are reused.
    struct KeyEntry {
        u64 offset;  // into arena_
        u32 length;
        u8 tag;  // FREE_TAG for an unused id
    };
    std::vector<KeyEntry> keys_;
    std::vector<char> arena_;
    u64 garbage_ = 0;  // arena bytes of removed keys
    std::vector<u32> free_ids_;
    u64 live_ = 0;
    std::vector<u32> key_table_;  // ids, NONE empty, TOMB removed
    u64 key_used_ = 0;            // live + tombstones in key_table_

    // Buckets: band j owns slots [j * cap_, (j + 1) * cap_).
    u64 cap_ = 0;
    u64 tombs_ = 0;  // tombstones across all bands: a bound for each band's own
    struct [[gnu::packed]] Bucket {
        u64 hash;
        u32 head;  // first key id, NONE empty, TOMB removed
    };
    std::vector<Bucket> buckets_;  // 12 bytes: hash and head in one cache line
    std::vector<u32> next_, prev_;  // [id * bands + j]
};

}  // namespace murk
