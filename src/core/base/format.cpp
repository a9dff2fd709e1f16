#include "core/base/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace spanlet {

namespace {

std::string non_finite(double value) {
    if (std::isnan(value)) return "NaN";
    return value < 0 ? "-inf" : "inf";
}

std::string to_chars_string(double value, std::chars_format format) {
    char buffer[400];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, format);
    (void)ec;  // the buffer holds the longest fixed rendering of a double
    return std::string(buffer, end);
}

}  // namespace

std::string decimal(double value) {
    if (!std::isfinite(value)) return non_finite(value);
    // The shortest digits that read back to the value come from the scientific form; fixed form
    // without a precision would print the exact binary value of large numbers (1.2345e22 as
    // 12344999999999999737856). The digits are then placed around the point.
    const std::string text = to_chars_string(value, std::chars_format::scientific);
    const auto e = text.find('e');
    const bool negative = text[0] == '-';
    std::string digits;
    for (std::size_t i = negative ? 1 : 0; i < e; ++i)
        if (text[i] != '.') digits += text[i];
    const int point = std::stoi(text.substr(e + 1)) + 1;  // digits before the decimal point
    const int count = static_cast<int>(digits.size());
    std::string out = negative ? "-" : "";
    if (point <= 0) {
        out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    } else if (point >= count) {
        out += digits + std::string(static_cast<std::size_t>(point - count), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

std::string exponent(double value) {
    if (!std::isfinite(value)) return non_finite(value);
    // to_chars gives "2.5e-04" and "1e+00"; drop the plus sign and leading exponent zeros.
    std::string text = to_chars_string(value, std::chars_format::scientific);
    const auto e = text.find('e');
    std::string mantissa = text.substr(0, e);
    std::string power = text.substr(e + 1);
    bool negative = !power.empty() && power[0] == '-';
    if (!power.empty() && (power[0] == '-' || power[0] == '+')) power.erase(0, 1);
    const auto first = power.find_first_not_of('0');
    power = first == std::string::npos ? "0" : power.substr(first);
    return mantissa + "e" + (negative ? "-" : "") + power;
}

std::string structural(double value) {
    if (!std::isfinite(value)) return non_finite(value);
    const double magnitude = std::fabs(value);
    if (magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16)) return exponent(value);
    std::string text = decimal(value);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u{%x}", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);  // UTF-8 continuation bytes pass through
                }
        }
    }
    out += '"';
    return out;
}

StructuralWriter::StructuralWriter(std::string_view kind) : text_(kind) {}

StructuralWriter& StructuralWriter::field(std::string_view name, double value) {
    return field(name, structural(value));
}

StructuralWriter& StructuralWriter::field(std::string_view name, std::string_view rendered) {
    text_ += empty_ ? " { " : ", ";
    text_ += name;
    text_ += ": ";
    text_ += rendered;
    empty_ = false;
    return *this;
}

std::string StructuralWriter::finish() const { return empty_ ? text_ : text_ + " }"; }

}  // namespace spanlet
