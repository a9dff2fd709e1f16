// Renderings of numbers and strings used in every message of the system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace spanlet {

// Shortest round-trip decimal in positional notation: 1, 0.5, -0, 0.0000001, inf, -inf, NaN.
std::string decimal(double value);

// Shortest round-trip digits in exponent form: 0e0, 2.5e-4, 1e0, NaN, inf.
std::string exponent(double value);

// A double inside a structural rendering: at least one digit after the point (2.0), exponent
// form (1e-7, 1e16) below 1e-4 and from 1e16 on in magnitude.
std::string structural(double value);

// A string in double quotes with backslash escapes.
std::string quoted(std::string_view text);

// Builds "Kind { a: 1.0, b: 2.0 }".
class StructuralWriter {
public:
    explicit StructuralWriter(std::string_view kind);
    StructuralWriter& field(std::string_view name, double value);
    StructuralWriter& field(std::string_view name, std::string_view rendered);
    std::string finish() const;

private:
    std::string text_;
    bool empty_ = true;
};

}  // namespace spanlet
