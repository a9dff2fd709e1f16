// Analytic profiles: line shapes described around their own center, with their value, slope,
// half width, support for a cutoff and the integration step they allow.
#pragma once

#include <string_view>
#include <utility>
#include <variant>

#include "core/error.hpp"
#include "core/fts.hpp"
#include "core/harmonics.hpp"

namespace spanlet {

using Profile = std::variant<Fts, Harmonic>;

// x is the offset from the center, r >= 0 a distance from it.
double value(const Profile& profile, double x);
double d_dt(const Profile& profile, double x);
double hwhm(const Profile& profile);
double step(const Profile& profile, double r);

// Distances (left, right) from the center at which an element is cut; cutoff must be finite and > 0.
struct Reach {
    double left, right;
};
Result<Reach> support(const Profile& profile, double cutoff);

// The failure of a value that must be finite and > 0: "<name> must be finite and > 0, got <value>".
Status check_positive(std::string_view name, double value);

}  // namespace spanlet
