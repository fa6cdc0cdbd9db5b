// The one ordering of detection scores used everywhere in evaluation:
// descending, with NaN after every number. Used with stable sorts, so equal
// scores keep their previous order.
#pragma once

#include <cmath>

namespace brandor::eval {

inline bool score_before(double a, double b) {
    if (std::isnan(b)) return !std::isnan(a);
    return a > b;
}

}  // namespace brandor::eval
