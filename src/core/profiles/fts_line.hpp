// Instrument line shapes of a Fourier-transform spectrometer: the cosine transform of an
// apodization over optical path differences in [-max_opd, max_opd], peak-normalised.
#pragma once

#include "core/profiles/apodization.hpp"
#include <optional>
#include <string>

#include "core/base/error.hpp"
#include "core/profiles/family.hpp"

namespace spanlet {

// The integral of A(u) cos(theta u) over u in [-1, 1], and its derivative in theta.
double line_shape(const Apodization& apodization, double theta);
double line_shape_derivative(const Apodization& apodization, double theta);

// The line shape at offset x from the line center, theta = 2 pi max_opd x, scaled to 1 at x = 0.
struct Fts {
    double max_opd;
    Apodization apodization;
    double inv_peak;

    double value(double x) const;
    double d_dt(double x) const;
    double hwhm() const { return 0.5 / max_opd; }
    // A quarter of the first zero's distance of the unapodized shape.
    double step(double) const { return 0.25 / max_opd; }
    Reach reach(double cutoff) const { return {cutoff * hwhm(), cutoff * hwhm()}; }
    // An instrument's shape has no parameter of its own to differentiate.
    std::optional<double> d_parameter(Parameter, double) const { return std::nullopt; }
    std::optional<EndFactors> cutoff_factors(Parameter, double) const { return std::nullopt; }
    std::string debug() const;
};

// The profile for one center: max_opd must be finite and > 0 and the apodization must have a
// positive integral.
Result<Fts> make_fts(double max_opd, const Apodization& apodization);

}  // namespace spanlet
