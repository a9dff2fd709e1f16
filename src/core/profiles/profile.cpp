#include "core/profiles/profile.hpp"

#include <algorithm>
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

ValueWithDerivatives::ValueWithDerivatives(const Profile& profile, std::span<const Parameter> parameters)
    : profile_(&profile), parameters_(parameters) {
    const auto width = [](Parameter p) { return p == Parameter::Sigma || p == Parameter::Gamma; };
    if (const auto* v = std::get_if<Voigt>(&profile); v && std::any_of(parameters.begin(), parameters.end(), width))
        peak_ = v->peak_terms(parameters, true);
}

void ValueWithDerivatives::operator()(double x, double* out) const {
    if (const auto* v = std::get_if<Voigt>(profile_)) return v->values_and_derivatives(parameters_, x, peak_, out);
    out[0] = value(*profile_, x);
    for (std::size_t k = 0; k < parameters_.size(); ++k) {
        const Parameter p = parameters_[k];
        if (p == Parameter::Center) {
            out[k + 1] = -d_dt(*profile_, x);
        } else if (p == Parameter::Scale) {
            out[k + 1] = -x * d_dt(*profile_, x);
        } else {
            const Result<double> d = d_parameter(*profile_, p, x);
            out[k + 1] = d ? d.value() : 0.0;
        }
    }
}

void ValueWithDerivatives::operator()(const double* x, double* out, std::size_t n) const {
    if (const auto* v = std::get_if<Voigt>(profile_)) return v->values_and_derivatives(parameters_, x, peak_, out, n);
    for (std::size_t i = 0; i < n; ++i) (*this)(x[i], out + i * (parameters_.size() + 1));
}

Status check_positive(std::string_view name, double value) {
    if (std::isfinite(value) && value > 0) return success();
    return Error::invalid(std::string(name) + " must be finite and > 0, got " + decimal(value));
}

std::string debug(const Profile& profile) {
    return std::visit([](const auto& p) { return p.debug(); }, profile);
}

}  // namespace spanlet
