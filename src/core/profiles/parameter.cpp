#include "core/profiles/parameter.hpp"

namespace spanlet {

namespace {

constexpr Parameter ALL[] = {Parameter::Center, Parameter::Scale, Parameter::Sigma,     Parameter::Gamma,
                             Parameter::Eta,    Parameter::Power, Parameter::Asymmetry, Parameter::HalfWidth};

}  // namespace

std::string_view name(Parameter parameter) {
    switch (parameter) {
        case Parameter::Center:
            return "center";
        case Parameter::Scale:
            return "scale";
        case Parameter::Sigma:
            return "sigma";
        case Parameter::Gamma:
            return "gamma";
        case Parameter::Eta:
            return "eta";
        case Parameter::Power:
            return "power";
        case Parameter::Asymmetry:
            return "asymmetry";
        case Parameter::HalfWidth:
            return "half_width";
    }
    return {};  // not reached: the switch covers every parameter
}

std::optional<Parameter> parameter_named(std::string_view text) {
    for (Parameter p : ALL)
        if (name(p) == text) return p;
    return std::nullopt;
}

}  // namespace spanlet
