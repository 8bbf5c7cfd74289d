#include "bloom.hpp"

#include <cmath>

namespace murk {

namespace {

BloomFilterData sized(std::optional<u64> n, double p, std::optional<u64> num_bits, std::optional<u32> num_hashes,
                      u64 seed) {
    if (!(p > 0.0 && p < 1.0)) value_error("false_positive_rate must be between 0 and 1 (exclusive)");
    BloomFilterData d;
    if (num_bits) {
        if (*num_bits == 0) value_error("num_bits must be positive");
        d.num_bits = *num_bits;
    } else {
        if (!n) value_error("Either expected_items or num_bits must be provided");
        if (*n == 0) value_error("expected_items must be positive");
        d.num_bits = bloom_bits(*n, p);
    }
    if (num_hashes) {
        if (*num_hashes == 0) value_error("num_hashes must be positive");
        d.num_hashes = *num_hashes;
    } else {
        // n = 0 would make the hash count degenerate to 2^32 - 1: refuse it.
        if (n && *n == 0) value_error("expected_items must be positive");
        d.num_hashes = bloom_hashes(d.num_bits, n ? *n : std::max<u64>(d.num_bits / 10, 1));
    }
    d.bits.resize(static_cast<std::size_t>(words_for_bits(d.num_bits)));
    d.seed = seed;
    return d;
}

BloomFilterData validated(BloomFilterData d) {
    if (d.num_bits == 0) value_error("num_bits must be positive");
    if (d.num_hashes == 0) value_error("num_hashes must be positive");
    if (d.bits.size() != words_for_bits(d.num_bits)) value_error("bit array length does not match num_bits");
    if (d.num_bits % 64 != 0 && (d.bits.back() >> (d.num_bits % 64)) != 0) value_error("padding bits must be zero");
    return d;
}

}  // namespace

BloomFilter::BloomFilter(std::optional<u64> n, double p, std::optional<u64> num_bits, std::optional<u32> num_hashes,
                         u64 seed)
    : BloomFilter(sized(n, p, num_bits, num_hashes, seed)) {}

BloomFilter::BloomFilter(BloomFilterData d) : d_(validated(std::move(d))), mod_(d_.num_bits) {}

void BloomFilter::merge(const BloomFilter& o) {
    auto mismatch = [](const char* field, u64 a, u64 b) {
        value_error(std::string("Cannot merge: ") + field + " mismatch (" + std::to_string(a) + " vs " +
                    std::to_string(b) + ")");
    };
    if (d_.num_bits != o.d_.num_bits) mismatch("num_bits", d_.num_bits, o.d_.num_bits);
    if (d_.num_hashes != o.d_.num_hashes) mismatch("num_hashes", d_.num_hashes, o.d_.num_hashes);
    if (d_.seed != o.d_.seed) mismatch("seed", d_.seed, o.d_.seed);
    u64* w = d_.bits.data();
    const u64* x = o.d_.bits.data();
    for (std::size_t i = 0, n = d_.bits.size(); i < n; ++i) w[i] |= x[i];
    d_.count = sat_add(d_.count, o.d_.count);
}

BloomFilter BloomFilter::intersection(const BloomFilter& o) const {
    if (d_.num_bits != o.d_.num_bits || d_.num_hashes != o.d_.num_hashes || d_.seed != o.d_.seed)
        value_error("Cannot intersect: filters must have same configuration");
    BloomFilter r(*this);
    u64* w = r.d_.bits.data();
    const u64* x = o.d_.bits.data();
    for (std::size_t i = 0, n = r.d_.bits.size(); i < n; ++i) w[i] &= x[i];
    r.d_.count = 0;
    return r;
}

void BloomFilter::clear() noexcept {
    std::fill(d_.bits.begin(), d_.bits.end(), 0);
    d_.count = 0;
}

double BloomFilter::false_positive_rate() const noexcept { return std::pow(fill_ratio(), d_.num_hashes); }

double BloomFilter::estimate_count() const noexcept {
    double fill = fill_ratio();
    if (fill >= 1.0) return INFINITY;
    return std::log(1.0 - fill) * (-static_cast<double>(d_.num_bits) / static_cast<double>(d_.num_hashes));
}

const char* BloomFilter::health() const noexcept {
    double fill = fill_ratio();
    return fill >= 0.8 ? "saturated" : fill >= 0.65 ? "warning" : "healthy";
}

std::string BloomFilter::repr() const {
    return "BloomFilter(num_bits=" + std::to_string(d_.num_bits) + ", num_hashes=" + std::to_string(d_.num_hashes) +
           ", count=" + std::to_string(d_.count) + ", fpr=" + fixed(false_positive_rate(), 4) + ")";
}

}  // namespace murk
