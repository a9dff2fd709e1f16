#include "core/linalg/solve.hpp"

#include <algorithm>

#include "core/base/pool.hpp"

namespace spanlet {

void solve_rows(const BandedCholesky& factor, std::vector<double>& rows, std::size_t k) {
    const std::size_t n = factor.n();
    // Rows in groups whose solves run together.
    constexpr std::size_t GROUP = 4;
    parallel_for((k + GROUP - 1) / GROUP, [&](std::size_t g, Scratch&) {
        double* group[GROUP];
        const std::size_t first = g * GROUP, count = std::min(GROUP, k - first);
        for (std::size_t r = 0; r < count; ++r) group[r] = rows.data() + (first + r) * n;
        factor.solve_in_place(group, count);
    });
}

std::vector<double> transposed(const std::vector<double>& values, std::size_t rows, std::size_t cols) {
    std::vector<double> out(values.size());
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c) out[c * rows + r] = values[r * cols + c];
    return out;
}

}  // namespace spanlet
