#include "core/profiles/profile.hpp"

#include <cmath>
#include <string>

#include "core/format.hpp"
#include "core/overloaded.hpp"

namespace spanlet {

double value(const Profile& profile, double x) {
    return std::visit(Overloaded{
                          [x](const Fts& p) { return p.value(x); },
                          [x](const Harmonic& p) { return p.value(x); },
                      },
                      profile);
}

double d_dt(const Profile& profile, double x) {
    return std::visit(Overloaded{
                          [x](const Fts& p) { return p.d_dt(x); },
                          [x](const Harmonic& p) { return p.d_dt(x); },
                      },
                      profile);
}

double hwhm(const Profile& profile) {
    return std::visit(Overloaded{
                          [](const Fts& p) { return p.hwhm(); },
                          [](const Harmonic& p) { return p.hwhm(); },
                      },
                      profile);
}

double step(const Profile& profile, double r) {
    return std::visit(Overloaded{
                          [r](const Fts& p) { return p.step(r); },
                          [r](const Harmonic& p) { return p.step(r); },
                      },
                      profile);
}

Result<Reach> support(const Profile& profile, double cutoff) {
    SPANLET_TRY_STATUS(check_positive("cutoff", cutoff));
    return std::visit(Overloaded{
                          [cutoff](const Fts& p) { return Reach{cutoff * p.hwhm(), cutoff * p.hwhm()}; },
                          // A harmonic's cutoff is an absolute half length.
                          [cutoff](const Harmonic&) { return Reach{cutoff, cutoff}; },
                      },
                      profile);
}

Status check_positive(std::string_view name, double value) {
    if (std::isfinite(value) && value > 0) return success();
    return Error::invalid(std::string(name) + " must be finite and > 0, got " + decimal(value));
}

}  // namespace spanlet
