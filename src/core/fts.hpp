// Instrument line shapes of a Fourier-transform spectrometer: the cosine transform of an
// apodization over optical path differences in [-max_opd, max_opd], peak-normalised.
#pragma once

#include <vector>

#include "core/apodization.hpp"
#include "core/error.hpp"

namespace spanlet {

// sin(t) / t, and its derivative (cos t - sin(t) / t) / t, each with a short series near 0.
double sinc(double t);
double sinc_derivative(double t);

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
};

// The profile for one center: max_opd must be finite and > 0 and the apodization must have a
// positive integral.
Result<Fts> make_fts(double max_opd, const Apodization& apodization);

class Space;
// One line shape per center; max_opd holds at least one value per center.
Result<Space> fts(const std::vector<double>& centers, const std::vector<double>& max_opd, double cutoff,
                  const Apodization& apodization);

}  // namespace spanlet
