#include "core/profiles/harmonic.hpp"

#include <cmath>

#include "core/base/format.hpp"
#include "core/profiles/profile.hpp"

namespace spanlet {

namespace {

// x * (k 2 pi) / P. For a period near the largest double the product overflows although the
// quotient, at most pi k on the element's support, does not; then divide first.
double angle(const Harmonic& h, double x) {
    const double k = h.wavenumber * TWO_PI;
    const double product = x * k;
    if (std::isfinite(product) || !std::isfinite(x)) return product / h.period;
    return x / h.period * k;
}

}  // namespace

double Harmonic::value(double x) const { return std::cos(phase + angle(*this, x)); }

double Harmonic::d_dt(double x) const {
    const double k = wavenumber * TWO_PI / period;
    return -k * std::sin(phase + x * k);
}

std::string Harmonic::debug() const {
    return StructuralWriter("Harmonic").field("wavenumber", wavenumber).field("period", period).field("phase", phase).finish();
}

Result<Harmonic> harmonic(double wavenumber, double period, double phase, double center) {
    SPANLET_TRY_STATUS(check_positive("wavenumber", wavenumber));
    SPANLET_TRY_STATUS(check_positive("period", period));
    // The stored phase overflows for a center far out in periods (start = 1e308 with period
    // 1e308 has a finite center); refuse it too rather than build a wave of NaN.
    const double stored = phase + ((wavenumber * TWO_PI) * center) / period;
    if (!std::isfinite(center) || !std::isfinite(stored))
        return Error::invalid("harmonic phase and center must be finite");
    return Harmonic{wavenumber, period, stored};
}

}  // namespace spanlet
