// Count-min sketch: depth rows of width saturating counters, one seeded hash
// per row; an estimate is the smallest counter an item maps to.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "persistence.hpp"
#include "utils.hpp"

namespace murk {

// Largest table accepted: 2^44 counters (128 TiB), the whole user address
// space of 64-bit Linux. Anything larger cannot be allocated on any machine
// this runs on and is refused with MemoryError before the allocator is asked.
inline constexpr u64 CMS_MAX_COUNTERS = u64{1} << 44;

// The counter matrix in one row-major allocation: row r starts at r * cols.
// Decoded tables may be ragged until validated; `ragged` then records that
// some row differs in length from the first one (cols).
struct CounterTable {
    Array<u64> cells;
    u64 rows = 0;
    u64 cols = 0;
    bool ragged = false;

    u64* row(u64 r) noexcept { return cells.data() + r * cols; }
    const u64* row(u64 r) const noexcept { return cells.data() + r * cols; }
};

// Written as a sequence of rows, each a sequence of counters.
template <>
struct Codec<CounterTable> {
    static constexpr bool optional = false;
    static std::size_t size(const CounterTable& t) {
        return static_cast<std::size_t>(8 + t.rows * (8 + 8 * t.cols));
    }
    static void write(Writer& w, const CounterTable& t) {
        w.put<u64>(t.rows);
        for (u64 r = 0; r < t.rows; ++r) {
            w.put<u64>(t.cols);
            w.put_many(t.row(r), static_cast<std::size_t>(t.cols));
        }
    }
    static void read(Reader& r, CounterTable& t);
    static void to_json(JsonOut& o, const CounterTable& t) {
        json_begin(o, false);
        for (u64 r = 0; r < t.rows; ++r) {
            json_begin(o, false);
            const u64* p = t.row(r);
            for (u64 c = 0; c < t.cols; ++c) json_uint(o, p[c]);
            json_end(o, false);
        }
        json_end(o, false);
    }
    static void from_json(JsonIn& in, CounterTable& t);
};

struct CountMinSketchData {
    static constexpr std::string_view name = "CountMinSketchData";
    static constexpr u8 VERSION = 2;
    u8 version = VERSION;
    CounterTable table;
    u64 width = 0;
    u64 depth = 0;
    u64 count = 0;
    u64 seed = 0;
    template <class S, class V>
    static void fields(S& s, V&& v) {
        v("version", s.version);
        v("table", s.table);
        v("width", s.width);
        v("depth", s.depth);
        v("count", s.count);
        v("seed", s.seed);
    }
};

class CountMinSketch {
public:
    static constexpr Format format{"MKCM", 1};
    static constexpr double E = 2.718281828459045;

    CountMinSketch(std::optional<u64> width, std::optional<u64> depth, std::optional<double> error_rate,
                   std::optional<double> confidence, u64 seed);
    explicit CountMinSketch(CountMinSketchData d);  // validates

    // Column offsets (row start included) of one item, one per row.
    void offsets(Key k, u64* out) const noexcept {
        u64 s = d_.seed;
        for (u64 r = 0; r < d_.depth; ++r, s += G) out[r] = r * d_.width + mod_(hash64(k, s));
    }
    void offsets(u64 x, u64* out) const noexcept {
        u64 s = d_.seed;
        for (u64 r = 0; r < d_.depth; ++r, s += G) out[r] = r * d_.width + mod_(splitmix64_mix((s ^ x) + G));
    }

    template <class H>
    void add(const H& h, u64 n) {
        if (n == 0) return;
        u64* cells = d_.table.cells.data();
        u64 s = d_.seed;
        for (u64 r = 0; r < d_.depth; ++r, s += G) {
            u64& c = cells[r * d_.width + column(h, s)];
            c = sat_add(c, n);
        }
        d_.count = sat_add(d_.count, n);
    }
    template <class H>
    u64 estimate(const H& h) const noexcept {
        const u64* cells = d_.table.cells.data();
        u64 best = U64_MAX;
        u64 s = d_.seed;
        for (u64 r = 0; r < d_.depth; ++r, s += G) best = std::min(best, cells[r * d_.width + column(h, s)]);
        return best;
    }

    // Batches: item i + AHEAD has all its rows hashed and prefetched while
    // item i is applied, so the depth cache misses of several items overlap.
    // key_at(i) gives the i-th key or caller hash.
    template <class KeyAt>
    void add_many(std::size_t n, KeyAt&& key_at) {
        u64* cells = d_.table.cells.data();
        pipeline(n, key_at, [&](std::size_t, const u64* off) {
            for (u64 r = 0; r < d_.depth; ++r) cells[off[r]] = sat_add(cells[off[r]], 1);
        });
        d_.count = sat_add(d_.count, n);
    }
    template <class KeyAt>
    void estimate_many(std::size_t n, KeyAt&& key_at, u64* out) const {
        const u64* cells = d_.table.cells.data();
        pipeline(n, key_at, [&](std::size_t i, const u64* off) {
            u64 best = U64_MAX;
            for (u64 r = 0; r < d_.depth; ++r) best = std::min(best, cells[off[r]]);
            out[i] = best;
        });
    }

    void merge(const CountMinSketch& other);
    u64 inner_product(const CountMinSketch& other) const;
    void clear() noexcept;

    double error_rate() const noexcept { return E / static_cast<double>(d_.width); }
    double confidence() const noexcept;
    u64 error_bound() const noexcept;
    std::string repr() const;

    u64 width() const noexcept { return d_.width; }
    u64 depth() const noexcept { return d_.depth; }
    u64 seed() const noexcept { return d_.seed; }
    u64 total_count() const noexcept { return d_.count; }
    u64 size_in_bytes() const noexcept { return d_.width * d_.depth * 8; }

    std::string to_bytes() const { return murk::to_bytes(d_, format); }
    std::string to_json() const { return murk::to_json(d_); }
    static CountMinSketch from_bytes(std::string_view b) {
        return CountMinSketch(murk::from_bytes<CountMinSketchData>(b, format));
    }
    static CountMinSketch from_json(std::string_view t) {
        return CountMinSketch(murk::from_json<CountMinSketchData>(t));
    }

private:
    static constexpr std::size_t AHEAD = 8;
    static constexpr u64 MAX_BUFFERED_DEPTH = 32;

    u64 column(Key k, u64 row_seed) const noexcept { return mod_(hash64(k, row_seed)); }
    u64 column(u64 x, u64 row_seed) const noexcept { return mod_(splitmix64_mix((row_seed ^ x) + G)); }

    template <class KeyAt, class Apply>
    void pipeline(std::size_t n, KeyAt& key_at, Apply&& apply) const {
        const u64* cells = d_.table.cells.data();
        const u64 depth = d_.depth;
        if (depth > MAX_BUFFERED_DEPTH) {
            // Deep sketches already have many independent loads per item.
            Array<u64> off(static_cast<std::size_t>(depth));
            for (std::size_t i = 0; i < n; ++i) {
                offsets(key_at(i), off.data());
                apply(i, static_cast<const u64*>(off.data()));
            }
            return;
        }
        u64 ring[AHEAD][MAX_BUFFERED_DEPTH];
        auto stage = [&](std::size_t j) {
            u64* off = ring[j % AHEAD];
            offsets(key_at(j), off);
            for (u64 r = 0; r < depth; ++r) prefetch(cells + off[r]);
        };
        for (std::size_t j = 0; j < n && j < AHEAD; ++j) stage(j);
        for (std::size_t i = 0; i < n; ++i) {
            u64 off[MAX_BUFFERED_DEPTH];
            std::copy(ring[i % AHEAD], ring[i % AHEAD] + depth, off);
            if (i + AHEAD < n) stage(i + AHEAD);
            apply(i, static_cast<const u64*>(off));
        }
    }

    CountMinSketchData d_;
    Mod64 mod_;
};

}  // namespace murk
