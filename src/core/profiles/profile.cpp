#include "core/profiles/profile.hpp"

#include <cmath>
#include <string>

#include "core/base/format.hpp"
#include "core/base/overloaded.hpp"

namespace spanlet {

double value(const Profile& profile, double x) {
    return std::visit(Overloaded{
                          [x](const Gaussian& p) { return p.value(x); },
                          [x](const Lorentzian& p) { return p.value(x); },
                          [x](const Voigt& p) { return p.value(x); },
                          [x](const PseudoVoigt& p) { return p.value(x); },
                          [x](const SuperGaussian& p) { return p.value(x); },
                          [x](const SmoothedBox& p) { return p.value(x); },
                          [x](const Fts& p) { return p.value(x); },
                          [x](const Matern& p) { return p.value(x); },
                          [x](const Harmonic& p) { return p.value(x); },
                      },
                      profile);
}

double d_dt(const Profile& profile, double x) {
    return std::visit(Overloaded{
                          [x](const Gaussian& p) { return p.d_dt(x); },
                          [x](const Lorentzian& p) { return p.d_dt(x); },
                          [x](const Voigt& p) { return p.d_dt(x); },
                          [x](const PseudoVoigt& p) { return p.d_dt(x); },
                          [x](const SuperGaussian& p) { return p.d_dt(x); },
                          [x](const SmoothedBox& p) { return p.d_dt(x); },
                          [x](const Fts& p) { return p.d_dt(x); },
                          [x](const Matern& p) { return p.d_dt(x); },
                          [x](const Harmonic& p) { return p.d_dt(x); },
                      },
                      profile);
}

double hwhm(const Profile& profile) {
    return std::visit(Overloaded{
                          [](const Gaussian& p) { return p.hwhm(); },
                          [](const Lorentzian& p) { return p.hwhm; },
                          [](const Voigt& p) { return p.hwhm(); },
                          [](const PseudoVoigt& p) { return p.hwhm; },
                          [](const SuperGaussian& p) { return p.hwhm(); },
                          [](const SmoothedBox& p) { return p.hwhm(); },
                          [](const Fts& p) { return p.hwhm(); },
                          [](const Matern& p) { return p.hwhm(); },
                          [](const Harmonic& p) { return p.hwhm(); },
                      },
                      profile);
}

double step(const Profile& profile, double r) {
    return std::visit(Overloaded{
                          [r](const Gaussian& p) { return p.step(r); },
                          [r](const Lorentzian& p) { return p.step(r); },
                          [r](const Voigt& p) { return p.step(r); },
                          [r](const PseudoVoigt& p) { return p.step(r); },
                          [r](const SuperGaussian& p) { return p.step(r); },
                          [r](const SmoothedBox& p) { return p.step(r); },
                          [r](const Fts& p) { return p.step(r); },
                          [r](const Matern& p) { return p.step(r); },
                          [r](const Harmonic& p) { return p.step(r); },
                      },
                      profile);
}

Result<Reach> support(const Profile& profile, double cutoff) {
    SPANLET_TRY_STATUS(check_positive("cutoff", cutoff));
    return std::visit(Overloaded{
                          [cutoff](const Gaussian& p) { return p.reach(cutoff); },
                          [cutoff](const Lorentzian& p) { return p.reach(cutoff); },
                          [cutoff](const Voigt& p) { return p.reach(cutoff); },
                          [cutoff](const PseudoVoigt& p) { return p.reach(cutoff); },
                          [cutoff](const SuperGaussian& p) { return p.reach(cutoff); },
                          [cutoff](const SmoothedBox& p) { return p.reach(cutoff); },
                          [cutoff](const Fts& p) { return Reach{cutoff * p.hwhm(), cutoff * p.hwhm()}; },
                          [cutoff](const Matern& p) { return p.reach(cutoff); },
                          // A harmonic's cutoff is an absolute half length.
                          [cutoff](const Harmonic&) { return Reach{cutoff, cutoff}; },
                      },
                      profile);
}

Status check_positive(std::string_view name, double value) {
    if (std::isfinite(value) && value > 0) return success();
    return Error::invalid(std::string(name) + " must be finite and > 0, got " + decimal(value));
}

namespace {

std::string_view order_name(MaternOrder order) {
    switch (order) {
        case MaternOrder::Half:
            return "Half";
        case MaternOrder::ThreeHalves:
            return "ThreeHalves";
        case MaternOrder::FiveHalves:
            return "FiveHalves";
    }
    return {};  // not reached: the switch covers every order
}

}  // namespace

std::string debug(const Profile& profile) {
    return std::visit(
        Overloaded{
            [](const Gaussian& p) { return StructuralWriter("Gaussian").field("sigma", p.sigma).finish(); },
            [](const Lorentzian& p) { return StructuralWriter("Lorentzian").field("hwhm", p.hwhm).finish(); },
            [](const Voigt& p) {
                return StructuralWriter("Voigt")
                    .field("sigma", p.sigma)
                    .field("gamma", p.gamma)
                    .field("inv_peak", p.inv_peak)
                    .finish();
            },
            [](const PseudoVoigt& p) {
                return StructuralWriter("PseudoVoigt").field("hwhm", p.hwhm).field("eta", p.eta).finish();
            },
            [](const SuperGaussian& p) {
                return StructuralWriter("SuperGaussian")
                    .field("hwhm_left", p.hwhm_left)
                    .field("hwhm_right", p.hwhm_right)
                    .field("power", p.power)
                    .finish();
            },
            [](const SmoothedBox& p) {
                return StructuralWriter("SmoothedBox")
                    .field("half_width", p.half_width)
                    .field("sigma", p.sigma)
                    .field("inv_peak", p.inv_peak)
                    .finish();
            },
            [](const Fts& p) {
                return StructuralWriter("Fts")
                    .field("max_opd", p.max_opd)
                    .field("apodization", debug(p.apodization))
                    .field("inv_peak", p.inv_peak)
                    .finish();
            },
            [](const Matern& p) {
                return StructuralWriter("Matern").field("order", order_name(p.order)).field("length", p.length).finish();
            },
            [](const Harmonic& p) {
                return StructuralWriter("Harmonic")
                    .field("wavenumber", p.wavenumber)
                    .field("period", p.period)
                    .field("phase", p.phase)
                    .finish();
            },
        },
        profile);
}

}  // namespace spanlet
