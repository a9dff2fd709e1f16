// A fixed variance factor s(x) = sum_m c_m e_m(x) over piecewise-polynomial elements, refitted as
// one piecewise cubic so that every evaluation and every knot of s comes from a single element.
#pragma once

#include <span>
#include <vector>

#include "core/elements/element.hpp"

namespace spanlet::covariance {

// What a caller describes: the elements of a space and one coefficient per element.
struct FactorInput {
    std::span<const Element> elements;
    std::span<const double> coefficients;
};

struct VarianceProfile {
    Element fitted;  // a Shaped element, center 0 and stretch 1, covering the hull of the supports
    std::vector<Element> elements;
    std::vector<double> coefficients;
};

// Checks the factor and fits it; the messages name what is wrong with the combination.
Result<VarianceProfile> fit_variance_profile(FactorInput factor);

}  // namespace spanlet::covariance
