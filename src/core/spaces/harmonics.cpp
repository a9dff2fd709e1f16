#include "core/spaces/harmonics.hpp"

#include <numbers>
#include <stdexcept>
#include <vector>

#include "core/profiles/harmonic.hpp"

namespace spanlet {

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
