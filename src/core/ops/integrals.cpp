#include "core/ops/integrals.hpp"

#include <algorithm>
#include <optional>

#include "core/ops/rows.hpp"

namespace spanlet {

Result<std::vector<double>> integrals(const std::vector<Element>& elements, CosineWeight omega) {
    std::vector<double> knots;
    std::vector<double> values;
    values.reserve(elements.size());
    for (const Element& e : elements) {
        SPANLET_TRY(v, integral(e, omega, knots));
        values.push_back(v);
    }
    return values;
}

Result<std::vector<double>> parallel_integrals(const std::vector<Element>& elements, CosineWeight omega) {
    const std::size_t n = elements.size();
    std::vector<double> values(n);
    const Blocking blocking(n);
    std::vector<std::optional<Error>> errors(blocking.count());
    parallel_for(errors.size(), [&](std::size_t k, Scratch& scratch) {
        for (std::size_t i = blocking.first(k); i < blocking.last(k); ++i) {
            if (stop_requested()) return;
            auto v = integral(elements[i], omega, scratch.knots);
            if (!v) {
                errors[k] = std::move(v).error();
                return;
            }
            values[i] = v.value();
        }
    });
    for (auto& error : errors)
        if (error) return std::move(*error);
    return values;
}

}  // namespace spanlet
