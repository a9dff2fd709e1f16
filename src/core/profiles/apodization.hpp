// Apodizations of a Fourier-transform spectrometer: the window A(u) applied to the interferogram
// over the normalised optical path difference u in [-1, 1], and the names callers select them by.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/base/error.hpp"

namespace spanlet {

// A(u) = a0 + a1 cos(pi u) + a2 cos(2 pi u) + a3 cos(3 pi u).
struct CosineSum {
    double a0, a1, a2, a3;
};
// A(u) = 1 - |u|.
struct Triangle {};
// A(u) = sum over n of c[n] (1 - u^2)^n, n = 0..4.
struct Polynomial {
    std::array<double, 5> c;
};

using Apodization = std::variant<CosineSum, Triangle, Polynomial>;

// The structural rendering used in messages: "CosineSum { a0: 1.0, ... }", "Triangle",
// "Polynomial { c: [1.0, 0.0, 0.0, 0.0, 0.0] }".
std::string debug(const Apodization& apodization);

// The apodization of a table name ("hann", "norton_beer_strong", ...), matched exactly;
// an unknown name fails with "unknown apodization" and the quoted name.
Result<Apodization> named_apodization(std::string_view name);

// Exactly one of the three forms: a name, or 1-4 cosine-sum or 1-5 polynomial coefficients
// (completed with zeros). Anything else fails with the one message that lists the three forms.
Result<Apodization> choose_apodization(const std::optional<std::string_view>& name,
                                       const std::optional<std::vector<double>>& cosine_sum,
                                       const std::optional<std::vector<double>>& polynomial);

}  // namespace spanlet
