#include "core/profiles/profile.hpp"

#include <cmath>
#include <string>

#include "core/base/format.hpp"

namespace spanlet {

double value(const Profile& profile, double x) {
    return std::visit([x](const auto& p) { return p.value(x); }, profile);
}

double d_dt(const Profile& profile, double x) {
    return std::visit([x](const auto& p) { return p.d_dt(x); }, profile);
}

double hwhm(const Profile& profile) {
    return std::visit([](const auto& p) { return p.hwhm(); }, profile);
}

double step(const Profile& profile, double r) {
    return std::visit([r](const auto& p) { return p.step(r); }, profile);
}

Result<Reach> support(const Profile& profile, double cutoff) {
    SPANLET_TRY_STATUS(check_positive("cutoff", cutoff));
    return std::visit([cutoff](const auto& p) { return p.reach(cutoff); }, profile);
}

namespace {

Error no_parameter(const Profile& profile, Parameter parameter) {
    return Error::invalid(debug(profile) + " has no parameter " + std::string(debug_name(parameter)));
}

}  // namespace

Result<double> d_parameter(const Profile& profile, Parameter parameter, double x) {
    const auto d = std::visit([&](const auto& p) { return p.d_parameter(parameter, x); }, profile);
    if (!d) return no_parameter(profile, parameter);
    return *d;
}

Result<EndFactors> cutoff_factors(const Profile& profile, Parameter parameter, double cutoff) {
    const auto f = std::visit([&](const auto& p) { return p.cutoff_factors(parameter, cutoff); }, profile);
    if (!f) return no_parameter(profile, parameter);
    return *f;
}

ValueWithDerivative::ValueWithDerivative(const Profile& profile, Parameter parameter)
    : profile_(&profile), parameter_(parameter) {
    if (const auto* v = std::get_if<Voigt>(&profile); v && (parameter == Parameter::Sigma || parameter == Parameter::Gamma))
        peak_ = v->peak();
}

std::pair<double, double> ValueWithDerivative::operator()(double x) const {
    if (const auto* v = std::get_if<Voigt>(profile_)) return v->value_and_derivative(parameter_, x, peak_);
    const double v = value(*profile_, x);
    if (parameter_ == Parameter::Center) return {v, -d_dt(*profile_, x)};
    if (parameter_ == Parameter::Scale) return {v, -x * d_dt(*profile_, x)};
    const Result<double> d = d_parameter(*profile_, parameter_, x);
    return {v, d ? d.value() : 0.0};
}

Status check_positive(std::string_view name, double value) {
    if (std::isfinite(value) && value > 0) return success();
    return Error::invalid(std::string(name) + " must be finite and > 0, got " + decimal(value));
}

std::string debug(const Profile& profile) {
    return std::visit([](const auto& p) { return p.debug(); }, profile);
}

}  // namespace spanlet
