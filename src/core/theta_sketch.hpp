// Theta sketch: the hashes of a set that fall below a threshold theta, at most
// about k = 2^lg_k of them (Dasgupta, Lang, Rhodes, Thaler: "A Framework for
// Estimating Stream Expression Cardinalities", 2016). The count retained over
// theta estimates the set's size; unions, intersections and differences of
// sketches are sketches of the combined sets.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "persistence.hpp"
#include "utils.hpp"

namespace murk {

// The persisted record: the retained hashes in ascending order.
struct ThetaSketchData {
    static constexpr std::string_view name = "ThetaSketchData";
    static constexpr u8 current_version = 1;
    u8 version = current_version;
    u8 lg_k = 0;
    u64 seed = 0;
    u64 limit = U64_MAX;  // every hash of the set at or below it is retained
    u8 updatable = 1;
    std::vector<u64> hashes;
    template <class S, class V>
    static void fields(S& s, V&& v) {
        v("version", s.version);
        v("lg_k", s.lg_k);
        v("seed", s.seed);
        v("limit", s.limit);
        v("updatable", s.updatable);
        v("hashes", s.hashes);
    }
};

class ThetaSketch {
public:
    static constexpr Format format{"MKTH", 1};
    static constexpr u8 MIN_LG_K = 4;
    static constexpr u8 MAX_LG_K = 26;

    ThetaSketch(u8 lg_k, u64 seed);
    explicit ThetaSketch(const ThetaSketchData& d);  // validates

    u8 lg_k() const noexcept { return lg_k_; }
    u64 seed() const noexcept { return seed_; }
    u64 k() const noexcept { return u64{1} << lg_k_; }
    // At most this many hashes are kept: 7k/4 in a table of 2k slots.
    u64 capacity() const noexcept { return capacity_of(lg_k_); }
    static constexpr u64 capacity_of(u8 lg_k) { return (u64{7} << lg_k) / 4; }
    u64 limit() const noexcept { return limit_; }
    double theta() const noexcept;
    u64 num_retained() const noexcept { return count_; }
    bool estimation_mode() const noexcept { return limit_ != U64_MAX; }
    bool updatable() const noexcept { return updatable_; }
    u64 size_in_bytes() const noexcept { return slots_.size() * sizeof(u64); }

    u64 hash_of(Key k) const noexcept { return hash64(k, seed_); }
    u64 hash_of_hash(u64 x) const noexcept { return splitmix64_mix((seed_ ^ x) + G); }

    // Only for updatable sketches: the binding refuses the others.
    void insert(u64 h) {
        h |= (h == 0);  // 0 marks an empty slot: the one hash 0 is counted as 1
        if (h <= limit_) put(h);
    }

    // Hashes a block ahead so the XXH3 evaluations overlap and the slots
    // they land on are already on their way.
    template <class HashAt>
    [[gnu::flatten]] void insert_many(std::size_t n, HashAt&& hash_at) {  // XXH3 inlined into the loop
        constexpr std::size_t BLOCK = 32;
        u64 hs[BLOCK];
        for (std::size_t i = 0; i < n; i += BLOCK) {
            const std::size_t len = std::min(BLOCK, n - i);
            for (std::size_t j = 0; j < len; ++j) {
                u64 h = hash_at(i + j);
                h |= (h == 0);
                hs[j] = h;
                prefetch(&slots_[h <= limit_ ? h & mask_ : 0]);  // most hashes miss once theta is small
            }
            for (std::size_t j = 0; j < len; ++j)
                if (hs[j] <= limit_) put(hs[j]);
        }
    }

    double estimate() const noexcept;
    u64 length() const noexcept;
    // Bounds on the set's size at z standard deviations (one-sided tails of
    // the normal at z), from the binomial law of the retained count.
    double lower_bound(double z) const;
    double upper_bound(double z) const;

    bool contains(u64 h) const noexcept;
    // Calls f(h) for every retained hash at or below limit.
    template <class F>
    void each_below(u64 limit, F&& f) const;
    std::vector<u64> sorted_hashes() const;

    // Set operations. Operands may differ in lg_k (the result has the least);
    // their seeds must agree.
    static ThetaSketch union_of(std::span<const ThetaSketch* const> xs);
    static ThetaSketch intersection_of(std::span<const ThetaSketch* const> xs);
    static ThetaSketch difference(const ThetaSketch& a, const ThetaSketch& b);
    // Jaccard similarity: (lower, estimate, upper) at z standard deviations.
    static std::array<double, 3> jaccard(const ThetaSketch& a, const ThetaSketch& b, double z);

    void merge(const ThetaSketch& o);  // becomes the union
    void clear();
    bool operator==(const ThetaSketch& o) const;
    std::string repr() const;

    ThetaSketchData data() const;
    std::string to_bytes() const { return murk::to_bytes(data(), format); }
    std::string to_json() const { return murk::to_json(data()); }
    static ThetaSketch from_bytes(std::string_view b) {
        return ThetaSketch(murk::from_bytes<ThetaSketchData>(b, format));
    }
    static ThetaSketch from_json(std::string_view t) { return ThetaSketch(murk::from_json<ThetaSketchData>(t)); }

private:
    ThetaSketch(u8 lg_k, u64 seed, u64 limit, bool updatable, std::span<const u64> hashes);

    void put(u64 h) {
        for (u64 i = h & mask_;; i = (i + 1) & mask_) {
            if (slots_[i] == h) return;
            if (slots_[i] == 0) {
                slots_[i] = h;
                if (++count_ > full_) grow_or_cut();
                return;
            }
        }
    }
    void grow_or_cut();
    void cut(u64 keep);                       // keeps the `keep` least hashes, lowering the limit
    void rebuild(std::span<const u64> hs, std::size_t slots);
    void lower_limit(u64 limit);              // drops the hashes above it
    static std::size_t slots_for(u64 count, u8 lg_k);
    static constexpr std::size_t max_slots(u8 lg_k) { return std::size_t{2} << lg_k; }
    std::size_t table_limit() const noexcept { return max_slots(lg_k_) << (sparse_ ? 1 : 0); }
    static void check_seeds(std::span<const ThetaSketch* const> xs);

    u8 lg_k_;
    bool updatable_ = true;
    u64 seed_;
    u64 limit_ = U64_MAX;
    u64 count_ = 0;
    u64 full_ = 0;  // past this count the table grows, or at its largest is cut back to k
    bool sparse_ = false;  // a union being built: twice the slots, so probes stay short
    u64 mask_ = 0;
    Array<u64> slots_;  // open addressing, linear probing; 0 is empty
};

// The slots are scanned without a branch per slot (half of them are empty,
// at random): the hashes that qualify are packed into a small buffer first.
template <class F>
void ThetaSketch::each_below(u64 limit, F&& f) const {
    constexpr std::size_t BLOCK = 256;
    u64 buf[BLOCK];
    const u64* s = slots_.data();
    for (std::size_t i = 0, n = slots_.size(); i < n; i += BLOCK) {
        const std::size_t len = std::min(BLOCK, n - i);
        std::size_t m = 0;
        for (std::size_t j = 0; j < len; ++j) {
            const u64 h = s[i + j];
            buf[m] = h;
            m += (h - 1) < limit;  // 0 < h <= limit: h - 1 wraps to the top for an empty slot
        }
        for (std::size_t j = 0; j < m; ++j) f(buf[j]);
    }
}

}  // namespace murk
