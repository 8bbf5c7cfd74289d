// KLL quantile sketch (Karnin, Lang, Liberty 2016): a stack of compactors.
// Level h holds values of weight 2^h; its capacity shrinks by 2/3 per level
// below the top (never under MIN_WIDTH), the top holding k. Values enter
// level 0. Compaction is lazy: only when the levels reach their total
// capacity is the lowest level at or over its own capacity compacted: sorted,
// and every other value (the odd or the even positions, by a coin) moves up
// one level with twice the weight. Each compaction shifts any rank by at most
// the weight of one value, up or down with equal chance, which is where the
// rank error bound comes from.
//
// Once the sketch is deep enough that its lowest levels are at the minimum
// width, level 0 becomes a block of BLOCK values instead: a full block is
// sorted, and every 2^SKIP-th value from a random offset moves straight to
// level SKIP. That is SKIP compactions in a row of levels holding only the
// block's share, each shifting a rank by at most one value's weight as
// before, with fewer compactions than the narrow levels would make. Sorting
// whole blocks, several at once in vector registers, is what makes updates
// cheap. The lazy rule then governs the levels from SKIP up.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "persistence.hpp"
#include "quantiles.hpp"
#include "utils.hpp"

namespace murk {

// The persisted record: the levels back to back, lowest first.
struct KLLData {
    static constexpr std::string_view name = "KLLData";
    static constexpr u8 current_version = 1;
    u8 version = current_version;
    u32 k = 0;
    u64 rng = 0;  // the coin generator's state (the seed at first): a reloaded sketch goes on as the original would
    u64 n = 0;
    Real min{INFINITY};
    Real max{-INFINITY};
    Array<u32> level_sizes;
    std::vector<Real> items;
    template <class S, class V>
    static void fields(S& s, V&& v) {
        v("version", s.version);
        v("k", s.k);
        v("rng", s.rng);
        v("n", s.n);
        v("min", s.min);
        v("max", s.max);
        v("level_sizes", s.level_sizes);
        v("items", s.items);
    }
};

class KLLSketch {
public:
    static constexpr Format format{"MKKL", 1};
    static constexpr const char* class_name = "KLLSketch";
    static constexpr u32 MIN_K = 8;
    static constexpr u32 MAX_K = 65535;
    static constexpr u32 MIN_WIDTH = 8;
    static constexpr std::size_t MAX_LEVELS = 64;
    static constexpr std::size_t SKIP = 3;
    static constexpr std::size_t BLOCK = MIN_WIDTH << SKIP;

    KLLSketch(u32 k, u64 seed);
    explicit KLLSketch(const KLLData& d);  // validates
    KLLData data() const;

    // Values without NaN.
    void update_many(const double* p, std::size_t n);
    void merge(const KLLSketch& other);

    u64 n() const noexcept { return n_; }
    double min() const noexcept { return min_; }
    double max() const noexcept { return max_; }
    u32 k() const noexcept { return k_; }
    u64 num_retained() const noexcept { return retained_; }
    std::size_t num_levels() const noexcept { return levels_.size(); }
    // The state: the retained values, the level sizes, and k, n, min, max and the coin's state.
    u64 size_in_bytes() const noexcept { return 8 * retained_ + 4 * levels_.size() + 36; }
    // Built on the first query after a change, then kept.
    const SortedView& sorted_view() const;

    // The rank error not exceeded with 99% confidence, as a share of n: for
    // one rank query, or (pmf) for the worst of all queries at once.
    static double normalized_rank_error(u32 k, bool pmf);

    bool operator==(const KLLSketch& o) const;
    std::string repr() const;

    std::string to_bytes() const { return murk::to_bytes(data(), format); }
    std::string to_json() const { return murk::to_json(data()); }
    static KLLSketch from_bytes(std::string_view b) { return KLLSketch(murk::from_bytes<KLLData>(b, format)); }
    static KLLSketch from_json(std::string_view t) { return KLLSketch(murk::from_json<KLLData>(t)); }

    // Capacity of a level `depth` levels below the top.
    static u32 capacity(u32 k, std::size_t depth) noexcept;

private:
    // normalized_rank_error = A / k (see kll.cpp).
    static constexpr double RANK_A = 1.6, PMF_A = 2.5;

    void set_levels(std::size_t count);
    void settle();
    void compress();
    void compact(std::size_t h);
    void take_block(const double* sorted, std::size_t stride);
    u64 next() noexcept;
    bool coin() noexcept { return next() >> 63; }
    // Values on the levels the lazy rule governs: all of them, or in block
    // mode those from level SKIP up.
    u64 lazy_retained() const noexcept;

    u32 k_;
    u64 rng_;
    u64 n_ = 0;
    double min_ = INFINITY, max_ = -INFINITY;
    std::vector<std::vector<double>> levels_;  // level 0 unsorted, the others ascending
    std::vector<u32> caps_;
    u64 total_cap_ = 0, retained_ = 0;  // total_cap_: of the levels the lazy rule governs
    bool blocks_ = false;              // level 0 is a block
    // Work space kept between compactions, so they allocate nothing once warm.
    std::vector<double> half_;  // sort scratch
    mutable std::optional<SortedView> view_;
    std::vector<u64> keys_, keys2_;
};

}  // namespace murk
