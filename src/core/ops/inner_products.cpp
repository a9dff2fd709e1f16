#include "core/ops/inner_products.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "core/pool.hpp"

namespace spanlet {

namespace {

// Rows are computed in fixed blocks so that each task appends to its own buffers; the blocks are
// joined in index order, so the result never depends on the number of threads.
constexpr std::size_t ROWS_PER_BLOCK = 512;

struct Block {
    std::vector<std::uint64_t> row_sizes;
    std::vector<std::uint64_t> indices;
    std::vector<double> values;
    std::optional<Error> error;
};

Result<Csr> join_blocks(std::vector<Block>& blocks, std::uint64_t nrows, std::uint64_t ncols) {
    std::size_t total = 0;
    for (auto& block : blocks) {
        if (block.error) return std::move(*block.error);
        total += block.indices.size();
    }
    Csr m;
    m.nrows = nrows;
    m.ncols = ncols;
    m.indptr.reserve(nrows + 1);
    m.indices.reserve(total);
    m.data.reserve(total);
    m.indptr.push_back(0);
    for (auto& block : blocks) {
        for (std::uint64_t size : block.row_sizes) m.indptr.push_back(m.indptr.back() + size);
        m.indices.insert(m.indices.end(), block.indices.begin(), block.indices.end());
        m.data.insert(m.data.end(), block.values.begin(), block.values.end());
        block = Block{};  // release as we go
    }
    return m;
}

// Builds an nrows x b.size() matrix on the pool. For row i, `interval(i)` gives the support to
// search in b and `value(i, j, knots)` the entry for candidate j (a Result<double>).
template <class Interval, class Value>
Result<Csr> sparse_rows(std::size_t nrows, const Space& b, Interval interval, Value value) {
    std::vector<Block> blocks((nrows + ROWS_PER_BLOCK - 1) / ROWS_PER_BLOCK);
    parallel_for(blocks.size(), [&](std::size_t k, Scratch& scratch) {
        Block& block = blocks[k];
        const std::size_t first = k * ROWS_PER_BLOCK, last = std::min(nrows, first + ROWS_PER_BLOCK);
        block.row_sizes.reserve(last - first);
        for (std::size_t i = first; i < last; ++i) {
            const Support s = interval(i);
            candidates(b, scratch.candidates, s.lo, s.hi);
            std::uint64_t stored = 0;
            for (std::uint64_t j : scratch.candidates) {
                Result<double> v = value(i, j, scratch.knots);
                if (!v) {
                    block.error = std::move(v).error();
                    return;
                }
                if (v.value() != 0.0) {
                    block.indices.push_back(j);
                    block.values.push_back(v.value());
                    ++stored;
                }
            }
            block.row_sizes.push_back(stored);
        }
    });
    return join_blocks(blocks, nrows, b.size());
}

}  // namespace

Result<Csr> inner_products(const std::vector<Element>& a, const Space& b, Weight omega) {
    return sparse_rows(
        a.size(), b, [&](std::size_t i) { return support(a[i]); },
        [&](std::size_t i, std::uint64_t j, std::vector<double>& knots) {
            return inner(a[i], b.elements[j], omega, knots);
        });
}

Result<std::vector<double>> integrals(const std::vector<Element>& elements, Weight omega) {
    std::vector<double> knots;
    std::vector<double> values;
    values.reserve(elements.size());
    for (const Element& e : elements) {
        auto v = integral(e, omega, knots);
        if (!v) return std::move(v).error();
        values.push_back(v.value());
    }
    return values;
}

Result<std::vector<double>> parallel_integrals(const std::vector<Element>& elements, Weight omega) {
    const std::size_t n = elements.size();
    std::vector<double> values(n);
    std::vector<std::optional<Error>> errors((n + ROWS_PER_BLOCK - 1) / ROWS_PER_BLOCK);
    parallel_for(errors.size(), [&](std::size_t k, Scratch& scratch) {
        for (std::size_t i = k * ROWS_PER_BLOCK; i < std::min(n, (k + 1) * ROWS_PER_BLOCK); ++i) {
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

Result<Csr> measure(const std::vector<Element>& kernels, const Space& basis, Normalization mode, Weight omega) {
    auto product = inner_products(kernels, basis, omega);
    if (!product || mode == Normalization::None) return product;
    Csr w = std::move(product).value();
    std::vector<double> norms;
    if (mode == Normalization::Integral) {
        auto values = parallel_integrals(kernels, omega);
        if (!values) return std::move(values).error();
        norms = std::move(values).value();
    } else {
        norms.assign(w.nrows, -0.0);
        for (std::uint64_t i = 0; i < w.nrows; ++i)
            for (std::uint64_t k = w.indptr[i]; k < w.indptr[i + 1]; ++k) norms[i] += w.data[k];
    }
    for (std::uint64_t i = 0; i < w.nrows; ++i) {
        const double factor = norms[i] == 0.0 ? 0.0 : 1.0 / norms[i];
        for (std::uint64_t k = w.indptr[i]; k < w.indptr[i + 1]; ++k) w.data[k] *= factor;
    }
    return w;
}

Result<Csr> evaluate_points(const std::vector<double>& x, const Space& basis) {
    // The rows are those of a space of point masses at x; the points are checked as that space
    // would check them, without materialising it.
    for (double p : x)
        if (!std::isfinite(p)) return Error::invalid("delta position must be finite");
    return sparse_rows(
        x.size(), basis, [&](std::size_t i) { return Support{x[i], x[i]}; },
        [&](std::size_t i, std::uint64_t j, std::vector<double>&) -> Result<double> {
            const Element& e = basis.elements[j];
            if (const auto* d = std::get_if<Delta>(&e.kind)) return d->position == x[i] ? 1.0 : 0.0;
            return evaluate(e, x[i]);
        });
}

}  // namespace spanlet
