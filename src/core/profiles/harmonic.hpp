// A harmonic wave as a line-shape profile: one cosine of a period, with its phase referred to
// the element's center.
#pragma once

#include "core/base/error.hpp"

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
};

// The profile of the wave cos(2 pi k t / P + phase) in absolute t, for an element centered at
// `center`: the stored phase is phase + (k 2 pi) center / P.
Result<Harmonic> harmonic(double wavenumber, double period, double phase, double center);

}  // namespace spanlet
