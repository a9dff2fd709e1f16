// Spaces of profile elements: one profile placed at each center and cut to its support, and the
// line-shape constructors that build one profile per center from parameter arrays.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "core/profiles/profile.hpp"
#include "core/spaces/space.hpp"

namespace spanlet {

// `profiles` holds one profile for every center or one per center.
Result<Space> profiles(const std::vector<Profile>& profiles, const std::vector<double>& centers, double cutoff);

// A parameter array needs (at least) one value per center.
Status check_length(std::string_view name, std::size_t length, std::size_t count);

// Each parameter array holds (at least) one value per center; values beyond are ignored.
Result<Space> gaussians(const std::vector<double>& centers, const std::vector<double>& sigma, double cutoff);
Result<Space> lorentzians(const std::vector<double>& centers, const std::vector<double>& hwhm, double cutoff);
// A zero sigma gives a Lorentzian, a zero gamma a Gaussian.
Result<Space> voigts(const std::vector<double>& centers, const std::vector<double>& sigma,
                     const std::vector<double>& gamma, double cutoff);
Result<Space> pseudo_voigts(const std::vector<double>& centers, const std::vector<double>& hwhm,
                            const std::vector<double>& eta, double cutoff);
Result<Space> smoothed_boxes(const std::vector<double>& centers, const std::vector<double>& half_width,
                             const std::vector<double>& sigma, double cutoff);
Result<Space> super_gaussians(const std::vector<double>& centers, const std::vector<double>& hwhm_left,
                              const std::vector<double>& hwhm_right, const std::vector<double>& power,
                              double cutoff);

}  // namespace spanlet
