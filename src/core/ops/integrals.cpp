#include "core/ops/integrals.hpp"


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
    std::vector<double> values(elements.size());
    SPANLET_TRY_STATUS(parallel_rows(RowTasks::blocks(elements.size()),
                                     [&](std::size_t, std::size_t i, Scratch& scratch) -> Status {
                                         SPANLET_TRY(v, integral(elements[i], omega, scratch.knots));
                                         values[i] = v;
                                         return success();
                                     }));
    return values;
}

}  // namespace spanlet
