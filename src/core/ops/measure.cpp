#include "core/ops/measure.hpp"

#include <cmath>

#include "core/ops/bspline_values.hpp"
#include "core/ops/inner_products.hpp"
#include "core/ops/integrals.hpp"
#include "core/ops/rows.hpp"
#include "core/base/constants.hpp"

namespace spanlet {

Result<Csr> measure(const Space& kernels, const Space& basis, Normalization mode, CosineWeight omega) {
    auto product = inner_products(kernels, basis, omega);
    if (!product || mode == Normalization::None) return product;
    Csr w = std::move(product).value();
    std::vector<double> norms;
    if (mode == Normalization::Integral) {
        SPANLET_TRY(values, parallel_integrals(kernels.elements(), omega));
        norms = std::move(values);
    } else {
        norms.assign(w.nrows, EMPTY_SUM);
        for (std::uint64_t i = 0; i < w.nrows; ++i)
            for (std::uint64_t k = w.indptr[i]; k < w.indptr[i + 1]; ++k) norms[i] += w.data[k];
    }
    for (std::uint64_t i = 0; i < w.nrows; ++i) {
        const double factor = norms[i] == 0.0 ? 0.0 : 1.0 / norms[i];
        for (std::uint64_t k = w.indptr[i]; k < w.indptr[i + 1]; ++k) w.data[k] *= factor;
    }
    return w;
}

Status check_points(const std::vector<double>& x) {
    // The rows are those of a space of point masses at x; the points are checked as that space
    // would check them, without materialising it.
    for (double p : x)
        if (!std::isfinite(p)) return Error::invalid("delta position must be finite");
    return success();
}

Result<Csr> evaluate_points(const std::vector<double>& x, const Space& basis) {
    SPANLET_TRY_STATUS(check_points(x));
    // A B-spline space that kept its knots forms each row at once by de Boor's recurrence.
    if (const KnotVector* knots = basis.knot_vector()) {
        Csr m;
        m.nrows = x.size();
        m.ncols = knots->elements();
        m.indptr.resize(x.size() + 1);
        m.indices.resize(bspline_value_bound(x.size(), *knots));
        m.data.resize(m.indices.size());
        const std::uint64_t stored = bspline_values(x, *knots, {m.indptr.data(), m.indices.data(), m.data.data()});
        m.indices.resize(stored);
        m.data.resize(stored);
        return m;
    }
    return sparse_rows(
        x.size(), basis, [&](std::size_t i) { return Support{x[i], x[i]}; },
        [&](std::size_t i, std::uint64_t j, std::vector<double>&) -> Result<double> {
            const Element& e = basis.elements()[j];
            if (const auto* d = std::get_if<Delta>(&e.kind)) return d->position == x[i] ? 1.0 : 0.0;
            return evaluate(e, x[i]);
        });
}

}  // namespace spanlet
