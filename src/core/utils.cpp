#include "utils.hpp"

#include <cmath>
#include <cstdio>

namespace murk {

u64 bloom_bits(u64 n, double p) noexcept {
    return saturating_u64(std::ceil(static_cast<double>(n) * std::log(p) / -LN2_SQUARED));
}

u32 bloom_hashes(u64 m, u64 n_eff) noexcept {
    double k = std::round(static_cast<double>(m) / static_cast<double>(n_eff) * LN2);
    if (!(k >= 1.0)) return 1;  // also NaN
    if (k >= 4294967295.0) return 0xffffffffu;
    return static_cast<u32>(k);
}

u64 popcount_words(const u64* w, std::size_t n) noexcept {
    u64 a = 0, b = 0, c = 0, d = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        a += __builtin_popcountll(w[i]);
        b += __builtin_popcountll(w[i + 1]);
        c += __builtin_popcountll(w[i + 2]);
        d += __builtin_popcountll(w[i + 3]);
    }
    for (; i < n; ++i) a += __builtin_popcountll(w[i]);
    return a + b + c + d;
}

std::string fixed(double v, int decimals) {
    // glibc's printf rounds exactly (half to even on true ties), as Python does.
    char buf[400];
    int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

}  // namespace murk
