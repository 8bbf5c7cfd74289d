#include "hyperloglog.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace murk {

namespace {

HyperLogLogData validated(HyperLogLogData d) {
    if (d.version != HyperLogLogData::current_version) value_error("Unsupported HyperLogLog data version");
    const u8 p = d.precision;
    if (p < HyperLogLog::MIN_PRECISION || p > HyperLogLog::MAX_PRECISION)
        value_error("Invalid HyperLogLog: precision must be between 4 and 18");
    if (d.registers.size() != (std::size_t{1} << p))
        value_error("Invalid HyperLogLog: register count does not match precision");
    const u8 max_rank = static_cast<u8>(65 - p);
    if (*std::max_element(d.registers.begin(), d.registers.end()) > max_rank)
        value_error("Invalid HyperLogLog: register contains an impossible rank");
    return d;
}

HyperLogLogData fresh(u8 precision, u64 seed) {
    if (precision < HyperLogLog::MIN_PRECISION || precision > HyperLogLog::MAX_PRECISION)
        value_error("precision must be between 4 and 18");
    HyperLogLogData d;
    d.registers.resize(std::size_t{1} << precision);
    d.precision = precision;
    d.seed = seed;
    return d;
}

}  // namespace

HyperLogLog::HyperLogLog(u8 precision, u64 seed) : d_(fresh(precision, seed)) { recount(); }

HyperLogLog::HyperLogLog(HyperLogLogData d) : d_(validated(std::move(d))) { recount(); }

// Four interleaved tables, so that runs of equal ranks do not serialise on one
// counter. Ranks never exceed 65 - p (loading checks it).
void HyperLogLog::recount() noexcept {
    const u8* r = d_.registers.data();
    const std::size_t n = d_.registers.size();  // a multiple of 16
    u32 hist[4][RANKS] = {};
    for (std::size_t i = 0; i < n; i += 4) {
        ++hist[0][r[i]];
        ++hist[1][r[i + 1]];
        ++hist[2][r[i + 2]];
        ++hist[3][r[i + 3]];
    }
    for (std::size_t k = 0; k < RANKS; ++k) ranks_[k] = hist[0][k] + hist[1][k] + hist[2][k] + hist[3][k];
    sum_valid_ = false;
}

// The sum of 2^-r over the registers, as a left-to-right double sum gives it.
// The sum is formed exactly from the rank histogram in units of 2^-rmax. When
// that integer is below 2^53 every partial sum of the left-to-right order is
// an integer below 2^53 in the same units, so the sequential double sum made
// no rounding and equals it. Otherwise (only ranks far above what real hashes
// reach) the registers are summed again in index order, the way the rounding
// demands. Either way the result is kept until a register changes.
double HyperLogLog::register_sum(std::size_t& zeros) const noexcept {
    zeros = ranks_[0];
    if (sum_valid_) return sum_;
    int rmax = 0;
    for (int k = 0; k < static_cast<int>(RANKS); ++k)
        if (ranks_[k]) rmax = k;
    unsigned __int128 units = 0;
    for (int k = 0; k <= rmax; ++k) units += static_cast<unsigned __int128>(ranks_[k]) << (rmax - k);
    if (units < (unsigned __int128){1} << 53) {
        sum_ = std::ldexp(static_cast<double>(static_cast<u64>(units)), -rmax);
    } else {
        const u8* r = d_.registers.data();
        double sum = 0.0;
        for (std::size_t i = 0, n = d_.registers.size(); i < n; ++i)
            sum += std::bit_cast<double>(static_cast<u64>(1023 - r[i]) << 52);
        sum_ = sum;
    }
    sum_valid_ = true;
    return sum_;
}

double HyperLogLog::estimate() const noexcept {
    const std::size_t n = d_.registers.size();
    const double m = static_cast<double>(n);
    const double alpha = n == 16 ? 0.673 : n == 32 ? 0.697 : n == 64 ? 0.709 : 0.7213 / (1.0 + 1.079 / m);
    std::size_t zeros = 0;
    const double sum = register_sum(zeros);
    const double e = alpha * m * m / sum;
    if (e <= 2.5 * m) return zeros ? m * std::log(m / static_cast<double>(zeros)) : e;
    constexpr double two64 = 18446744073709551616.0;
    if (e > two64 / 30.0) {
        const double x = e / two64;
        return x >= 1.0 ? INFINITY : std::log1p(-x) * -two64;
    }
    return e;
}

u64 HyperLogLog::length() const noexcept { return saturating_u64(std::round(estimate())); }

double HyperLogLog::standard_error() const noexcept {
    return 1.04 / std::sqrt(static_cast<double>(d_.registers.size()));
}

std::pair<double, double> HyperLogLog::confidence_interval(double confidence) const {
    const double z = normal_quantile(confidence);
    const double e = estimate();
    const double margin = standard_error() * z * e;
    const double low = e - margin;
    return {low > 0.0 ? low : 0.0, e + margin};  // an infinite estimate gives inf - inf: clamp that too
}

void HyperLogLog::merge(const HyperLogLog& o) {
    auto mismatch = [](const char* field, u64 a, u64 b) {
        value_error(std::string("Cannot merge: ") + field + " mismatch (" + std::to_string(a) + " vs " +
                    std::to_string(b) + ")");
    };
    if (d_.precision != o.d_.precision) mismatch("precision", d_.precision, o.d_.precision);
    if (d_.seed != o.d_.seed) mismatch("seed", d_.seed, o.d_.seed);
    u8* r = d_.registers.data();
    const u8* x = o.d_.registers.data();
    for (std::size_t i = 0, n = d_.registers.size(); i < n; ++i) r[i] = std::max(r[i], x[i]);
    d_.count = sat_add(d_.count, o.d_.count);
    recount();
}

void HyperLogLog::clear() noexcept {
    std::fill(d_.registers.begin(), d_.registers.end(), 0);
    d_.count = 0;
    recount();
}

std::string HyperLogLog::repr() const {
    return "HyperLogLog(precision=" + std::to_string(d_.precision) + ", cardinality=" + fixed(estimate(), 0) +
           ", memory=" + std::to_string(size_in_bytes()) + "B)";
}

}  // namespace murk
