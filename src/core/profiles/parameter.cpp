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

std::string_view debug_name(Parameter parameter) {
    switch (parameter) {
        case Parameter::Center:
            return "Center";
        case Parameter::Scale:
            return "Scale";
        case Parameter::Sigma:
            return "Sigma";
        case Parameter::Gamma:
            return "Gamma";
        case Parameter::Eta:
            return "Eta";
        case Parameter::Power:
            return "Power";
        case Parameter::Asymmetry:
            return "Asymmetry";
        case Parameter::HalfWidth:
            return "HalfWidth";
    }
    return {};  // not reached: the switch covers every parameter
}

std::optional<Parameter> parameter_named(std::string_view text) {
    for (Parameter p : ALL)
        if (name(p) == text) return p;
    return std::nullopt;
}

}  // namespace spanlet
