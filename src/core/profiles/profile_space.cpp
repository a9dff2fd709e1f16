#include "core/profiles/profile_space.hpp"

#include <cmath>
#include <string>

#include "core/format.hpp"

namespace spanlet {

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

}  // namespace spanlet
