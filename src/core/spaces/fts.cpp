#include "core/spaces/fts.hpp"

#include "core/profiles/fts_line.hpp"
#include "core/spaces/profile_space.hpp"

namespace spanlet {

Result<Space> fts(const std::vector<double>& centers, const std::vector<double>& max_opd, double cutoff,
                  const Apodization& apodization) {
    SPANLET_TRY_STATUS(check_length("max_opd", max_opd.size(), centers.size()));
    std::vector<Profile> built;
    built.reserve(centers.size());
    for (std::size_t i = 0; i < centers.size(); ++i) {
        SPANLET_TRY(profile, make_fts(max_opd[i], apodization));
        built.push_back(profile);
    }
    return profiles(built, centers, cutoff);
}

}  // namespace spanlet
