// The measurement matrix together with its derivative with respect to one kernel parameter.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "core/integration/integrate.hpp"
#include "core/ops/measure.hpp"
#include "core/profiles/parameter.hpp"
#include "core/spaces/space.hpp"
#include "core/linalg/sparse.hpp"

namespace spanlet {

// W as `measure` builds it and dW/dp, both with one sparsity pattern: an entry is stored in
// both when either its value or its derivative is non-zero. Rows are normalised by n and the
// derivative by the quotient rule, u (dv - dn W) with u = 1 / n (0 for n = 0). The lowest
// kernel for which the derivative cannot be formed decides the error.
// W and dW/dp for several parameters at once, one pattern for all: an entry is stored where its
// value or any derivative is non-zero. A profile kernel is evaluated once per node for all of them.
Result<std::pair<Csr, std::vector<Csr>>> measure_derivatives(const std::vector<Element>& kernels, const Space& basis,
                                                            Normalization mode, std::span<const Parameter> parameters,
                                                            CosineWeight omega);

Result<std::pair<Csr, Csr>> measure_derivative(const std::vector<Element>& kernels, const Space& basis,
                                               Normalization mode, Parameter parameter, CosineWeight omega);

}  // namespace spanlet
