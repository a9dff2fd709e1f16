// The quantity a parameter derivative of a profile is taken with respect to, and the names by
// which callers select it.
#pragma once

#include <optional>
#include <string_view>

namespace spanlet {

enum class Parameter { Center, Scale, Sigma, Gamma, Eta, Power, Asymmetry, HalfWidth };

// "center", "scale", "sigma", "gamma", "eta", "power", "asymmetry", "half_width".
std::string_view name(Parameter parameter);
// The variant name used inside messages: "Center", "Scale", ..., "HalfWidth".
std::string_view debug_name(Parameter parameter);
// The parameter of that exact (case-sensitive) name, if any.
std::optional<Parameter> parameter_named(std::string_view name);

}  // namespace spanlet
