// A harmonic wave as a line-shape profile: one cosine of a period, with its phase referred to
// the element's center.
#pragma once

#include <optional>
#include <string>

#include "core/base/error.hpp"
#include "core/profiles/family.hpp"

namespace spanlet {

// cos(phase + x * (wavenumber * 2 pi) / period) at offset x from the element's center; the phase
// is referred to that center.
struct Harmonic {
    double wavenumber, period, phase;

    double value(double x) const;
    double d_dt(double x) const;
    double hwhm() const { return 0.25 * period / wavenumber; }
    // A quarter of the wave's own period.
    double step(double) const { return 0.25 * period / wavenumber; }
    // A harmonic's cutoff is an absolute half length.
    Reach reach(double cutoff) const { return {cutoff, cutoff}; }
    std::optional<double> d_parameter(Parameter, double) const { return std::nullopt; }
    std::optional<EndFactors> cutoff_factors(Parameter, double) const { return std::nullopt; }
    std::string debug() const;
};

// The profile of the wave cos(2 pi k t / P + phase) in absolute t, for an element centered at
// `center`: the stored phase is phase + (k 2 pi) center / P.
Result<Harmonic> harmonic(double wavenumber, double period, double phase, double center);

}  // namespace spanlet
