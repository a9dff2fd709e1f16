// sin(t) / t and its derivative, each with a short series near 0 where the quotient cancels.
#pragma once

namespace spanlet {

double sinc(double t);
// (cos t - sin(t) / t) / t
double sinc_derivative(double t);

}  // namespace spanlet
