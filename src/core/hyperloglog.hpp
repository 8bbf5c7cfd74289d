// HyperLogLog: distinct-count estimate from 2^p one-byte registers.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "confidence.hpp"
#include "persistence.hpp"
#include "utils.hpp"

namespace murk {

// The persisted record is also the counter's state.
struct HyperLogLogData {
    static constexpr std::string_view name = "HyperLogLogData";
    static constexpr u8 current_version = 2;
    u8 version = current_version;
    Array<u8> registers;
    u8 precision = 0;
    u64 count = 0;  // additions, repeats included; only persisted, never estimated from
    u64 seed = 0;
    template <class S, class V>
    static void fields(S& s, V&& v) {
        v("version", s.version);
        v("registers", s.registers);
        v("precision", s.precision);
        v("count", s.count);
        v("seed", s.seed);
    }
};

class HyperLogLog {
public:
    static constexpr Format format{"MKHL", 1};
    static constexpr u8 MIN_PRECISION = 4;
    static constexpr u8 MAX_PRECISION = 18;

    HyperLogLog(u8 precision, u64 seed);
    explicit HyperLogLog(HyperLogLogData d);  // validates

    u64 seed() const noexcept { return d_.seed; }
    u8 precision() const noexcept { return d_.precision; }
    u64 size_in_bytes() const noexcept { return d_.registers.size(); }

    // Caller hashes are mixed with the seed before they pick a register.
    u64 hash_of(Key k) const noexcept { return hash64(k, d_.seed); }
    u64 hash_of_hash(u64 x) const noexcept { return splitmix64_mix((d_.seed ^ x) + G); }

    void insert(u64 h) noexcept {
        observe(h);
        d_.count = sat_add(d_.count, 1);
    }

    // Hashes a block ahead so the XXH3 evaluations overlap and the register
    // lines (up to 256 KiB of them at precision 18) are already on their way.
    template <class HashAt>
    void insert_many(std::size_t n, HashAt&& hash_at) {
        constexpr std::size_t BLOCK = 32;
        u64 hs[BLOCK];
        const unsigned shift = 64 - d_.precision;
        for (std::size_t i = 0; i < n; i += BLOCK) {
            const std::size_t len = std::min(BLOCK, n - i);
            for (std::size_t j = 0; j < len; ++j) {
                hs[j] = hash_at(i + j);
                prefetch(&d_.registers[hs[j] >> shift]);
            }
            for (std::size_t j = 0; j < len; ++j) observe(hs[j]);
        }
        d_.count = sat_add(d_.count, n);
    }

    double estimate() const noexcept;
    u64 length() const noexcept;
    std::pair<double, double> confidence_interval(double confidence) const;
    double standard_error() const noexcept;
    double relative_error() const noexcept { return standard_error() * 100.0; }

    void merge(const HyperLogLog& other);
    void clear() noexcept;
    std::string repr() const;

    std::string to_bytes() const { return murk::to_bytes(d_, format); }
    std::string to_json() const { return murk::to_json(d_); }
    static HyperLogLog from_bytes(std::string_view b) {
        return HyperLogLog(murk::from_bytes<HyperLogLogData>(b, format));
    }
    static HyperLogLog from_json(std::string_view t) { return HyperLogLog(murk::from_json<HyperLogLogData>(t)); }

private:
    double register_sum(std::size_t& zeros) const noexcept;
    void recount() noexcept;  // the rank histogram from the registers

    // How many registers hold each rank, kept current by every change, so an
    // estimate reads 66 counts instead of 2^p registers; and the register sum
    // of the last estimate, until a register changes.
    static constexpr std::size_t RANKS = 66;
    void moved(u8 from, u8 to) noexcept {
        --ranks_[from];
        ++ranks_[to];
        sum_valid_ = false;
    }

    // Top p bits pick the register; the rank is one more than the leading
    // zeros of the rest, capped at 65 - p when the rest is all zero.
    void observe(u64 h) noexcept {
        const unsigned p = d_.precision;
        const u64 w = h << p;
        const u8 rank = w ? static_cast<u8>(__builtin_clzll(w) + 1) : static_cast<u8>(65 - p);
        u8& r = d_.registers[h >> (64 - p)];
        if (rank > r) {
            moved(r, rank);
            r = rank;
        }
    }

    HyperLogLogData d_;
    std::array<u32, RANKS> ranks_{};
    mutable double sum_ = 0.0;
    mutable bool sum_valid_ = false;
};

}  // namespace murk
