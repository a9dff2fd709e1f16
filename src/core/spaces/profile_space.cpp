#include "core/spaces/profile_space.hpp"

#include <cmath>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "core/base/format.hpp"

namespace spanlet {

namespace {

struct NamedValues {
    std::string_view name;
    const std::vector<double>* values;
};

Status check_lengths(std::initializer_list<NamedValues> parameters, std::size_t count) {
    for (const NamedValues& p : parameters) SPANLET_TRY_STATUS(check_length(p.name, p.values->size(), count));
    return success();
}

// Checks the parameter arrays against the centers, builds profile i with `make(i)` for every
// center, then places them.
template <class Make>
Result<Space> per_center(const std::vector<double>& centers, std::initializer_list<NamedValues> parameters, double cutoff,
                         Make make) {
    SPANLET_TRY_STATUS(check_lengths(parameters, centers.size()));
    std::vector<Profile> built;
    built.reserve(centers.size());
    for (std::size_t i = 0; i < centers.size(); ++i) {
        SPANLET_TRY(profile, make(i));
        built.push_back(std::move(profile));
    }
    return profiles(built, centers, cutoff);
}

Result<Profile> voigt(double sigma, double gamma) {
    if (!(std::isfinite(sigma) && std::isfinite(gamma) && sigma >= 0.0 && gamma >= 0.0))
        return Error::invalid("voigt needs finite sigma >= 0 and gamma >= 0");
    if (sigma == 0.0 && gamma == 0.0) return Error::invalid("voigt needs sigma > 0 or gamma > 0");
    if (sigma == 0.0) return Profile{Lorentzian{gamma}};
    if (gamma == 0.0) return Profile{Gaussian{sigma}};
    const double inv_peak = voigt_inv_peak(sigma, gamma);
    // Where gamma / sigma overflows the Gaussian part is far below resolution: the line is the
    // Lorentzian, whose peak the Faddeeva scale can no longer represent.
    if (!std::isfinite(inv_peak)) return Profile{Lorentzian{gamma}};
    return Profile{Voigt{sigma, gamma, inv_peak}};
}

}  // namespace

Status check_length(std::string_view name, std::size_t length, std::size_t count) {
    if (length >= count) return success();
    return Error::invalid(std::string(name) + " has length " + std::to_string(length) + " but centers has length " +
                          std::to_string(count));
}

Result<Space> profiles(const std::vector<Profile>& profiles, const std::vector<double>& centers, double cutoff) {
    if (profiles.size() != 1 && profiles.size() != centers.size())
        return Error::invalid("profiles has length " + std::to_string(profiles.size()) + ", expected 1 or " +
                              std::to_string(centers.size()));
    std::vector<Element> elements;
    elements.reserve(centers.size());
    for (std::size_t i = 0; i < centers.size(); ++i) {
        const Profile& profile = profiles.size() == 1 ? profiles[0] : profiles[i];
        const double c = centers[i];
        if (!std::isfinite(c)) return Error::invalid("profile center must be finite");
        SPANLET_TRY(reach, support(profile, cutoff));
        const double lower = c - reach.left, upper = c + reach.right;
        // A huge width times the cutoff overflows; no integral over such a support can end.
        if (!(std::isfinite(lower) && std::isfinite(upper)))
            return Error::invalid("profile support must be finite, got [" + decimal(lower) + ", " + decimal(upper) +
                                  "]");
        elements.push_back(Element{ProfileElement{profile, c, lower, upper, cutoff}});
    }
    return Space::make(std::move(elements));
}

Result<Space> gaussians(const std::vector<double>& centers, const std::vector<double>& sigma, double cutoff) {
    return per_center(centers, {{"sigma", &sigma}}, cutoff, [&](std::size_t i) -> Result<Profile> {
        SPANLET_TRY_STATUS(check_positive("sigma", sigma[i]));
        return Profile{Gaussian{sigma[i]}};
    });
}

Result<Space> lorentzians(const std::vector<double>& centers, const std::vector<double>& hwhm, double cutoff) {
    return per_center(centers, {{"hwhm", &hwhm}}, cutoff, [&](std::size_t i) -> Result<Profile> {
        SPANLET_TRY_STATUS(check_positive("hwhm", hwhm[i]));
        return Profile{Lorentzian{hwhm[i]}};
    });
}

Result<Space> voigts(const std::vector<double>& centers, const std::vector<double>& sigma,
                     const std::vector<double>& gamma, double cutoff) {
    return per_center(centers, {{"sigma", &sigma}, {"gamma", &gamma}}, cutoff,
                      [&](std::size_t i) { return voigt(sigma[i], gamma[i]); });
}

Result<Space> pseudo_voigts(const std::vector<double>& centers, const std::vector<double>& hwhm,
                            const std::vector<double>& eta, double cutoff) {
    return per_center(centers, {{"hwhm", &hwhm}, {"eta", &eta}}, cutoff, [&](std::size_t i) -> Result<Profile> {
        SPANLET_TRY_STATUS(check_positive("hwhm", hwhm[i]));
        if (!(eta[i] >= 0.0 && eta[i] <= 1.0))
            return Error::invalid("pseudo-Voigt eta must be in [0, 1], got " + decimal(eta[i]));
        return Profile{PseudoVoigt{hwhm[i], eta[i]}};
    });
}

Result<Space> smoothed_boxes(const std::vector<double>& centers, const std::vector<double>& half_width,
                             const std::vector<double>& sigma, double cutoff) {
    return per_center(centers, {{"half_width", &half_width}, {"sigma", &sigma}}, cutoff,
                      [&](std::size_t i) -> Result<Profile> {
                          SPANLET_TRY_STATUS(check_positive("half_width", half_width[i]));
                          SPANLET_TRY_STATUS(check_positive("sigma", sigma[i]));
                          SmoothedBox box{half_width[i], sigma[i], 1.0};
                          box.inv_peak = 1.0 / box.unscaled(0.0);
                          // A box far narrower than its smoothing (B(0) underflows) is the
                          // smoothing Gaussian itself.
                          if (!std::isfinite(box.inv_peak)) return Profile{Gaussian{sigma[i]}};
                          return Profile{box};
                      });
}

Result<Space> super_gaussians(const std::vector<double>& centers, const std::vector<double>& hwhm_left,
                              const std::vector<double>& hwhm_right, const std::vector<double>& power,
                              double cutoff) {
    return per_center(centers, {{"hwhm_left", &hwhm_left}, {"hwhm_right", &hwhm_right}, {"power", &power}}, cutoff,
                      [&](std::size_t i) -> Result<Profile> {
                          SPANLET_TRY_STATUS(check_positive("hwhm_left", hwhm_left[i]));
                          SPANLET_TRY_STATUS(check_positive("hwhm_right", hwhm_right[i]));
                          if (!(std::isfinite(power[i]) && power[i] >= 1.0))
                              return Error::invalid("super-Gaussian power must be >= 1, got " + decimal(power[i]));
                          return Profile{SuperGaussian{hwhm_left[i], hwhm_right[i], power[i]}};
                      });
}

}  // namespace spanlet
