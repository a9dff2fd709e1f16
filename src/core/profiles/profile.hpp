// Analytic profiles: line shapes described around their own center, with their value, slope,
// half width, support for a cutoff, the integration step they allow and their parameter
// derivatives. Every kind but the harmonic wave is 1 at its center. One file per family defines
// the kind with the members family.hpp lists; adding a family means its file and the variant.
#pragma once

#include <string>
#include <string_view>
#include <span>
#include <utility>
#include <variant>

#include "core/base/error.hpp"
#include "core/profiles/family.hpp"
#include "core/profiles/fts_line.hpp"
#include "core/profiles/harmonic.hpp"
#include "core/profiles/gaussian.hpp"
#include "core/profiles/lorentzian.hpp"
#include "core/profiles/matern.hpp"
#include "core/profiles/parameter.hpp"
#include "core/profiles/pseudo_voigt.hpp"
#include "core/profiles/smoothed_box.hpp"
#include "core/profiles/super_gaussian.hpp"
#include "core/profiles/voigt.hpp"

namespace spanlet {

using Profile =
    std::variant<Gaussian, Lorentzian, Voigt, PseudoVoigt, SuperGaussian, SmoothedBox, Fts, Matern, Harmonic>;

// x is the offset from the center, r >= 0 a distance from it.
double value(const Profile& profile, double x);
double d_dt(const Profile& profile, double x);
double hwhm(const Profile& profile);
double step(const Profile& profile, double r);

// Distances (left, right) from the center at which an element is cut; cutoff must be finite and > 0.
Result<Reach> support(const Profile& profile, double cutoff);

// The smooth part of the derivative in a parameter of the line shape itself (not Center or
// Scale) at offset x, and the factors of its moving cut ends; a parameter the family does not
// have is refused: "<debug> has no parameter <Name>".
Result<double> d_parameter(const Profile& profile, Parameter parameter, double x);
Result<EndFactors> cutoff_factors(const Profile& profile, Parameter parameter, double cutoff);

// A profile's value and its smooth derivatives in some parameters at the same offsets, for
// integrals that need them together: a shift gives -d_dt, a stretch -x d_dt, a parameter of the
// line shape d_parameter (0 where the family has none). What a family can share between them is
// formed once (the Voigt's Faddeeva value per point, its peak per profile); every result equals
// the separate functions' bit for bit. The parameters are not copied.
class ValueWithDerivatives {
public:
    ValueWithDerivatives(const Profile& profile, std::span<const Parameter> parameters);
    // out[0] the value at x, out[1 + k] the derivative in parameter k.
    void operator()(double x, double* out) const;
    // The same at the n offsets x[i], into out + i * (1 + the number of parameters).
    void operator()(const double* x, double* out, std::size_t n) const;

private:
    const Profile* profile_;
    std::span<const Parameter> parameters_;
    VoigtPeak peak_{};
};

// The structural rendering used in messages: "Gaussian { sigma: 2.0 }", fields in declaration order.
std::string debug(const Profile& profile);

// The failure of a value that must be finite and > 0: "<name> must be finite and > 0, got <value>".
Status check_positive(std::string_view name, double value);

}  // namespace spanlet
