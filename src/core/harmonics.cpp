#include "core/harmonics.hpp"

#include <cmath>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "core/profiles/profile.hpp"
#include "core/space.hpp"

namespace spanlet {

namespace {

constexpr double TWO_PI = 2 * std::numbers::pi;

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

Result<Space> harmonics(std::uint64_t n, double period, double start) {
    if (n == 0) return Error::invalid("harmonics need n >= 1");
    if (!(std::isfinite(period) && period > 0 && std::isfinite(start)))
        return Error::invalid("harmonics need a finite period > 0 and a finite start");
    const double h = period * 0.5;
    const double c = start + h;
    if (!std::isfinite(c)) return Error::invalid("harmonic phase and center must be finite");
    std::vector<Element> elements;
    // 2n elements: an n whose count cannot even be formed is out of memory like any other.
    if (n > elements.max_size() / 2) throw std::length_error("harmonics: too many elements");
    elements.reserve(2 * n);
    for (std::uint64_t k = 1; k <= n; ++k) {
        const double wavenumber = static_cast<double>(k);
        for (const double phase : {0.0, -std::numbers::pi / 2}) {
            SPANLET_TRY(wave, harmonic(wavenumber, period, phase, c));
            const Profile profile = wave;
            SPANLET_TRY(reach, support(profile, h));
            elements.push_back(Element{ProfileElement{profile, c, c - reach.left, c + reach.right, h}});
        }
    }
    return Space::make(std::move(elements));
}

}  // namespace spanlet
