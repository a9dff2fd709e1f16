#include "core/functions/sinc.hpp"

#include <cmath>

namespace spanlet {

double sinc(double t) {
    if (std::fabs(t) < 1e-4) return 1 - t * t / 6;
    return std::sin(t) / t;
}

double sinc_derivative(double t) {
    if (std::fabs(t) < 1e-3) return t * t * t / 30 - t / 3;
    return (std::cos(t) - std::sin(t) / t) / t;
}

}  // namespace spanlet
