// Normal quantiles for the confidence levels the interval methods accept.
#pragma once

#include <cmath>

#include "utils.hpp"

namespace murk {

// A level matches when it is within one machine epsilon of a listed value,
// so 0.95 computed as 1 - 0.05 is still accepted.
inline double normal_quantile(double confidence) {
    constexpr double EPS = 2.220446049250313e-16;
    constexpr double levels[][2] = {{0.80, 1.281552}, {0.90, 1.644854}, {0.95, 1.959964}, {0.99, 2.575829}};
    for (const auto& l : levels)
        if (std::fabs(confidence - l[0]) < EPS) return l[1];
    value_error("confidence must be one of 0.80, 0.90, 0.95, or 0.99");
}

}  // namespace murk
