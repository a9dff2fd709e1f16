#include "core/profiles/matern.hpp"

#include <cmath>
#include <string_view>

#include "core/base/format.hpp"

namespace spanlet {

namespace {


// k: the decay rate per length; m: the c at which the shape is 1/2.
struct Rates {
    double k, m;
};

Rates rates(MaternOrder order) {
    switch (order) {
        case MaternOrder::Half:
            return {1.0, LN2};
        case MaternOrder::ThreeHalves:
            return {SQRT3, 1.6783469900166605};
        case MaternOrder::FiveHalves:
            return {SQRT5, 2.330256192156007};
    }
    return {NAN, NAN};  // not reached: the switch covers every order
}

}  // namespace

double Matern::value(double x) const {
    switch (order) {
        case MaternOrder::Half:
            return std::exp(-(std::fabs(x) / length));
        case MaternOrder::ThreeHalves: {
            const double c = std::fabs(x) * SQRT3 / length;
            return (c + 1.0) * std::exp(-c);
        }
        case MaternOrder::FiveHalves: {
            const double c = std::fabs(x) * SQRT5 / length;
            return (c + 1.0 + c * c / 3.0) * std::exp(-c);
        }
    }
    return NAN;
}

// From the scaled distance c, divided by the length last: (k / length)^2 and 1 / length over- or
// underflow for lengths near the ends of the range while the slope itself does not.
double Matern::d_dt(double x) const {
    if (x == 0.0) return 0.0;
    const double sign = x < 0.0 ? -1.0 : 1.0;
    switch (order) {
        case MaternOrder::Half:
            return -sign * (std::exp(-(std::fabs(x) / length)) / length);
        case MaternOrder::ThreeHalves: {
            const double c = std::fabs(x) * SQRT3 / length;
            return -sign * (c * std::exp(-c) * SQRT3 / length);
        }
        case MaternOrder::FiveHalves: {
            const double c = std::fabs(x) * SQRT5 / length;
            return -sign * (c * (c + 1.0) * std::exp(-c) / 3.0 * SQRT5 / length);
        }
    }
    return NAN;
}

double Matern::hwhm() const {
    const Rates r = rates(order);
    return length * r.m / r.k;
}

double Matern::step(double) const { return 0.5 * length / rates(order).k; }

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

std::string Matern::debug() const {
    return StructuralWriter("Matern").field("order", order_name(order)).field("length", length).finish();
}

}  // namespace spanlet
