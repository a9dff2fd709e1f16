#include "core/ops/solve.hpp"

#include "core/pool.hpp"

namespace spanlet {

void solve_rows(const BandedCholesky& factor, std::vector<double>& rows, std::size_t k) {
    const std::size_t n = factor.n();
    parallel_for(k, [&](std::size_t r, Scratch&) { factor.solve_in_place(rows.data() + r * n); });
}

std::vector<double> transposed(const std::vector<double>& values, std::size_t rows, std::size_t cols) {
    std::vector<double> out(values.size());
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c) out[c * rows + r] = values[r * cols + c];
    return out;
}

}  // namespace spanlet
