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

double Matern::d_dt(double x) const {
    switch (order) {
        case MaternOrder::Half:
            if (x == 0.0) return 0.0;
            return -(x < 0.0 ? -1.0 : 1.0) / length * std::exp(-std::fabs(x) / length);
        case MaternOrder::ThreeHalves: {
            const double f = SQRT3 / length;
            return -(f * f) * x * std::exp(-f * std::fabs(x));
        }
        case MaternOrder::FiveHalves: {
            const double f = SQRT5 / length, c = f * std::fabs(x);
            return std::exp(-c) * (c + 1.0) * (-x * (f * f) / 3.0);
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
