#include "scalable_bloom.hpp"

#include <cmath>

namespace murk {

namespace {

bool in_unit_interval(double x) noexcept { return x > 0.0 && x < 1.0; }  // NaN fails

ScalableBloomFilterData configured(u64 initial_capacity, double p, double growth_ratio, double fpr_ratio, u64 seed) {
    if (initial_capacity == 0) value_error("initial_capacity must be positive");
    if (!in_unit_interval(p)) value_error("false_positive_rate must be between 0 and 1 (exclusive)");
    if (!(std::isfinite(growth_ratio) && growth_ratio > 1.0)) value_error("growth_ratio must be greater than 1");
    if (!in_unit_interval(fpr_ratio)) value_error("fpr_ratio must be between 0 and 1 (exclusive)");
    ScalableBloomFilterData d;
    d.initial_capacity = initial_capacity;
    d.initial_fpr = p;
    d.growth_ratio = growth_ratio;
    d.fpr_ratio = fpr_ratio;
    d.seed = seed;
    return d;
}

ScalableBloomFilterData validated(ScalableBloomFilterData d) {
    if (d.initial_capacity == 0) value_error("Invalid Scalable Bloom filter: initial capacity must be positive");
    if (!in_unit_interval(d.initial_fpr)) value_error("Invalid Scalable Bloom filter: false-positive rate is out of range");
    if (!(std::isfinite(d.growth_ratio) && d.growth_ratio > 1.0) || !in_unit_interval(d.fpr_ratio))
        value_error("Invalid Scalable Bloom filter: growth parameters are out of range");
    for (const auto& s : d.slices) {
        if (s.capacity == 0 || s.num_bits == 0 || s.num_hashes == 0 || s.count > s.capacity ||
            s.bits.size() != words_for_bits(s.num_bits) || !in_unit_interval(s.fpr))
            value_error("Invalid Scalable Bloom filter: malformed slice metadata");
    }
    return d;
}

}  // namespace

std::string wide_to_string(Wide v) {
    char buf[40];
    char* p = buf + sizeof buf;
    do {
        *--p = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    } while (v);
    return std::string(p, buf + sizeof buf);
}

ScalableBloomFilter::ScalableBloomFilter(u64 initial_capacity, double p, double growth_ratio, double fpr_ratio,
                                         u64 seed)
    : d_(configured(initial_capacity, p, growth_ratio, fpr_ratio, seed)) {
    append_slice();
}

ScalableBloomFilter::ScalableBloomFilter(ScalableBloomFilterData d) : d_(validated(std::move(d))) {
    mods_.reserve(d_.slices.size());
    for (const auto& s : d_.slices) mods_.emplace_back(s.num_bits);
}

BloomFilterSlice ScalableBloomFilter::next_slice() const {
    BloomFilterSlice s;
    if (d_.slices.empty()) {
        s.capacity = d_.initial_capacity;
        s.fpr = (1.0 - d_.fpr_ratio) * d_.initial_fpr;
    } else {
        const BloomFilterSlice& last = d_.slices.back();
        // Step by step from the newest slice, truncated: small capacities with
        // a ratio near 1 may stay equal from slice to slice.
        s.capacity = saturating_u64(static_cast<double>(last.capacity) * d_.growth_ratio);
        s.fpr = last.fpr * d_.fpr_ratio;
    }
    // A tiny fpr_ratio drives the rate to 0 after a few slices; such a slice
    // would need infinitely many bits and could not be loaded back.
    if (!(s.fpr > 0.0)) overflow_error("cannot add a slice: its false-positive rate underflows to zero");
    s.num_bits = bloom_bits(s.capacity, s.fpr);
    s.num_hashes = bloom_hashes(s.num_bits, s.capacity);
    s.bits.resize(static_cast<std::size_t>(words_for_bits(s.num_bits)));
    return s;
}

void ScalableBloomFilter::append_slice() {
    BloomFilterSlice s = next_slice();
    mods_.reserve(mods_.size() + 1);  // so the push below cannot fail after the slice is in
    d_.slices.push_back(std::move(s));
    mods_.emplace_back(d_.slices.back().num_bits);
}

void ScalableBloomFilter::clear() {
    // Built aside and swapped in, so a failed allocation leaves the filter as it was.
    ScalableBloomFilter fresh(ScalableBloomFilterData{
        {}, d_.initial_capacity, d_.initial_fpr, d_.growth_ratio, d_.fpr_ratio, d_.seed});
    fresh.append_slice();
    *this = std::move(fresh);
}

Wide ScalableBloomFilter::count() const noexcept {
    Wide n = 0;
    for (const auto& s : d_.slices) n += s.count;
    return n;
}

Wide ScalableBloomFilter::capacity() const noexcept {
    Wide n = 0;
    for (const auto& s : d_.slices) n += s.capacity;
    return n;
}

u64 ScalableBloomFilter::size_in_bytes() const noexcept {
    u64 n = 0;
    for (const auto& s : d_.slices) n += 8 * static_cast<u64>(s.bits.size());
    return n;
}

double ScalableBloomFilter::false_positive_rate() const noexcept {
    if (d_.slices.empty()) return 0.0;
    double keep = 1.0;
    for (const auto& s : d_.slices) keep *= 1.0 - s.fpr;
    return 1.0 - keep;
}

std::string ScalableBloomFilter::repr() const {
    return "ScalableBloomFilter(slices=" + std::to_string(d_.slices.size()) + ", count=" + wide_to_string(count()) +
           ", size=" + std::to_string(size_in_bytes()) + "B)";
}

}  // namespace murk
