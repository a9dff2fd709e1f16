#include "core/covariance/product.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "core/base/parallel_rows.hpp"
#include "core/base/constants.hpp"

namespace spanlet::covariance {

namespace {

// Rows are dealt to tasks in turn, so the short rows at the end of an upper triangle spread evenly.
constexpr std::size_t TASKS_PER_WORKER = 64;
// The mirror copies square tiles so that both the rows read and the columns written stay in cache.
constexpr std::size_t MIRROR_TILE = 64;

// Runs row(i, scratch) for every row on the pool, one covariance Scratch per task; the error of
// the lowest failing row is returned.
template <class Row>
Status covariance_rows(std::size_t rows, Row&& row) {
    const RowTasks split = RowTasks::dealt(rows, worker_count() * TASKS_PER_WORKER);
    std::vector<Scratch> scratches(split.count());
    return parallel_rows(split, [&](std::size_t t, std::size_t i, spanlet::Scratch&) { return row(i, scratches[t]); });
}

// Copies the upper triangle of an n x n row-major array onto the lower one.
void mirror_upper(double* out, std::size_t n) {
    const std::size_t tiles = (n + MIRROR_TILE - 1) / MIRROR_TILE;
    parallel_for(tiles, [&](std::size_t tile, spanlet::Scratch&) {
        const std::size_t i0 = tile * MIRROR_TILE, i1 = std::min(n, i0 + MIRROR_TILE);
        for (std::size_t j0 = i0; j0 < n; j0 += MIRROR_TILE) {
            const std::size_t j1 = std::min(n, j0 + MIRROR_TILE);
            for (std::size_t i = i0; i < i1; ++i)
                for (std::size_t j = std::max(j0, i + 1); j < j1; ++j) out[j * n + i] = out[i * n + j];
        }
    });
}

const Element& element_of(const Atoms& atoms, std::size_t d, std::size_t i) { return atoms.spaces[d]->elements()[i]; }

bool supports_meet(const Element& x, const Element& y) {
    const Support a = support(x), b = support(y);
    return a.lo <= b.hi && a.hi >= b.lo;
}

// Task-local values of one entry in every dimension, reused from entry to entry.
struct EntryParts {
    std::vector<double> f, h;
    std::vector<std::vector<double>> t;

    explicit EntryParts(const ProductCovariance& product) : f(product.dims.size()), h(product.dims.size()) {
        for (const Covariance1d& c : product.dims)
            t.emplace_back(c.variance_profile ? c.variance_profile->coefficients.size() : 0);
    }
};

// f_d, h_d and the coefficient terms t_(d,m) of entry (i, j) in dimension d.
Status dimension_parts(const Covariance1d& c, const Element& ei, const Element& ej, CosineWeight omega, double q,
                       Scratch& scratch, double& f, double& h, std::vector<double>& t) {
    const Element* s = c.factor();
    SPANLET_TRY(vd, between_core(c, ei, omega, s, ej, omega, s, true, scratch));
    f = vd.first / q;
    h = vd.second / q;
    if (!c.variance_profile) return success();
    const VarianceProfile& profile = *c.variance_profile;
    for (std::size_t m = 0; m < profile.elements.size(); ++m) {
        // An entry with a variance factor takes 1 + 2 M covariances: a cancelled call stops between them.
        if (stop_requested()) return success();
        const Element& em = profile.elements[m];
        double u1 = 0.0, u2 = 0.0;
        if (supports_meet(em, ei)) {
            SPANLET_TRY(r, between_core(c, ei, omega, &em, ej, omega, s, false, scratch));
            u1 = r.first;
        }
        if (supports_meet(em, ej)) {
            SPANLET_TRY(r, between_core(c, ei, omega, s, ej, omega, &em, false, scratch));
            u2 = r.first;
        }
        t[m] = profile.coefficients[m] * (u1 + u2) / q;
    }
    return success();
}

// Positions and factor values of a dimension whose atoms are all point masses.
struct Points {
    std::vector<double> position, factor;
};

// One side of a call: the atoms, their norms and, for each dimension whose atoms are all point
// masses, their Points, so that entries between points skip the element dispatch.
struct Side {
    const Atoms& atoms;
    const Norms& norms;
    std::vector<std::optional<Points>> points;

    std::size_t size() const { return norms.empty() ? 0 : norms[0].size(); }
    bool all_points() const {
        return std::all_of(points.begin(), points.end(), [](const auto& p) { return p.has_value(); });
    }
};

Side make_side(const ProductCovariance& product, const Atoms& atoms, const Norms& norms) {
    Side side{atoms, norms, {}};
    for (std::size_t d = 0; d < atoms.spaces.size(); ++d) {
        const auto& elements = atoms.spaces[d]->elements();
        auto& points = side.points.emplace_back();
        if (!std::all_of(elements.begin(), elements.end(),
                         [](const Element& e) { return std::holds_alternative<Delta>(e.kind); }))
            continue;
        points.emplace();
        const Element* factor = product.dims[d].factor();
        for (const Element& e : elements) {
            const double p = std::get<Delta>(e.kind).position;
            points->position.push_back(p);
            points->factor.push_back(factor ? evaluate(*factor, p) : 1.0);
        }
    }
    return side;
}

// The one-dimensional value between point masses i of a and j of b in dimension d. Point masses
// have norm 1, so it needs no division.
double point_value(const Covariance1d& c, const Points& a, std::size_t i, const Points& b, std::size_t j) {
    const double f = a.factor[i] * b.factor[j];
    if (f == 0.0) return 0.0;
    return f * between_points(c, a.position[i], b.position[j], false).first;
}

// `entry` for atoms that are point masses in every dimension, which cannot fail.
double point_entry(const ProductCovariance& product, const Side& a, std::size_t i, const Side& b, std::size_t j) {
    double acc = product.variance;
    for (std::size_t d = 0; d < product.dims.size(); ++d) {
        const double v = point_value(product.dims[d], *a.points[d], i, *b.points[d], j);
        if (v == 0.0) return 0.0;
        acc *= v;
    }
    return acc;
}

// Row i of point_entry for j = first .. cols - 1 with the kernel's family fixed at compile time:
// the same arithmetic, without a dispatch per entry.
template <class Kernel>
void point_row(const Kernel& kernel, double radius, double variance, const Points& a, std::size_t i, const Points& b,
               std::size_t first, std::size_t cols, double* row) {
    const double p = a.position[i], fa = a.factor[i];
    for (std::size_t j = first; j < cols; ++j) {
        const double f = fa * b.factor[j];
        const double r = p - b.position[j];
        double v = 0.0;
        if (f != 0.0 && -radius <= r && r <= radius) v = f * without_negative_zero(kernel.value(r));
        row[j] = v == 0.0 ? 0.0 : variance * v;
    }
}

// One dimension without a period, the common case of point atoms, row by row; false otherwise.
bool point_row_of_one_kernel(const ProductCovariance& product, const Side& a, std::size_t i, const Side& b,
                             std::size_t first, std::size_t cols, double* row) {
    if (product.dims.size() != 1 || product.dims[0].period) return false;
    const Covariance1d& c = product.dims[0];
    if (const auto* g = std::get_if<Gaussian>(&c.kernel)) {
        point_row(*g, c.radius, product.variance, *a.points[0], i, *b.points[0], first, cols, row);
        return true;
    }
    if (const auto* m = std::get_if<Matern>(&c.kernel)) {
        point_row(*m, c.radius, product.variance, *a.points[0], i, *b.points[0], first, cols, row);
        return true;
    }
    return false;
}

// K(i, j) between atom i of a and atom j of b; 0 at once when one dimension gives 0.
Result<double> entry(const ProductCovariance& product, const Side& a, std::size_t i, const Side& b, std::size_t j,
                     Scratch& scratch) {
    double acc = product.variance;
    for (std::size_t d = 0; d < product.dims.size(); ++d) {
        const Covariance1d& c = product.dims[d];
        const auto& pa = a.points[d];
        const auto& pb = b.points[d];
        if (pa && pb) {
            const double v = point_value(c, *pa, i, *pb, j);
            if (v == 0.0) return 0.0;
            acc *= v;
            continue;
        }
        SPANLET_TRY(vd, between_core(c, element_of(a.atoms, d, i), a.atoms.weights[d], c.factor(),
                                     element_of(b.atoms, d, j), b.atoms.weights[d], c.factor(), false, scratch));
        if (vd.first == 0.0) return 0.0;
        acc *= vd.first / (a.norms[d][i] * b.norms[d][j]);
    }
    return acc;
}

// Both sides' box sides, where a call has one dimension of boxes under a Matern kernel without
// weights or factor: the moments of each box are formed once, not once per entry.
struct BoxSides {
    std::vector<BoxSide> a, b;
};

std::optional<BoxSides> box_sides(const ProductCovariance& product, const Atoms& a, const Atoms& b) {
    if (product.dims.size() != 1 || a.weights[0] || b.weights[0] || product.dims[0].factor()) return std::nullopt;
    const Covariance1d& c = product.dims[0];
    GammaMoments cache;
    BoxSides sides;
    for (const auto& [atoms, out] : {std::pair{&a, &sides.a}, std::pair{&b, &sides.b}})
        for (const Element& e : atoms->spaces[0]->elements()) {
            const auto side = box_side(c, e, false, cache);
            if (!side) return std::nullopt;
            out->push_back(*side);
        }
    return sides;
}

}  // namespace

Result<std::size_t> len(const Atoms& atoms, std::size_t dimensions) {
    if (atoms.spaces.size() != dimensions || atoms.weights.size() != dimensions)
        return Error::invalid("atoms need one space and one weight per dimension (" + std::to_string(dimensions) +
                              "), got " + std::to_string(atoms.spaces.size()) + " and " +
                              std::to_string(atoms.weights.size()));
    if (dimensions == 0) return std::size_t{0};
    const std::size_t n = atoms.spaces[0]->size();
    for (const Space* space : atoms.spaces)
        if (space->size() != n) return Error::invalid("every dimension's space must have one element per atom");
    return n;
}

Result<Norms> norms(const Atoms& atoms) {
    Norms out(atoms.spaces.size());
    std::vector<double> knots;
    for (std::size_t d = 0; d < atoms.spaces.size(); ++d) {
        out[d].reserve(atoms.spaces[d]->size());
        for (const Element& e : atoms.spaces[d]->elements()) {
            if (std::holds_alternative<Delta>(e.kind)) {
                out[d].push_back(1.0);
                continue;
            }
            SPANLET_TRY(v, integral(e, atoms.weights[d], knots));
            out[d].push_back(v);
        }
    }
    return out;
}

Status matrix(const ProductCovariance& product, const Atoms& a, const Norms& norms_a, const Atoms& b,
              const Norms& norms_b, bool symmetric, double* out) {
    const Side sa = make_side(product, a, norms_a), sb = make_side(product, b, norms_b);
    const std::size_t rows = sa.size(), cols = sb.size();
    if (sa.all_points() && sb.all_points()) {
        SPANLET_TRY_STATUS(covariance_rows(rows, [&](std::size_t i, Scratch&) -> Status {
            const std::size_t first = symmetric ? i : 0;
            if (!point_row_of_one_kernel(product, sa, i, sb, first, cols, out + i * cols))
                for (std::size_t j = first; j < cols; ++j) out[i * cols + j] = point_entry(product, sa, i, sb, j);
            return success();
        }));
        if (symmetric) mirror_upper(out, rows);
        return success();
    }
    const std::optional<BoxSides> boxes = box_sides(product, a, b);
    SPANLET_TRY_STATUS(covariance_rows(rows, [&](std::size_t i, Scratch& scratch) -> Status {
        for (std::size_t j = symmetric ? i : 0; j < cols; ++j) {
            if (boxes)
                if (const auto vd = box_pair_covariance(product.dims[0], boxes->a[i], boxes->b[j], false)) {
                    // As `entry` gives it.
                    out[i * cols + j] =
                        vd->first == 0.0 ? 0.0 : product.variance * (vd->first / (norms_a[0][i] * norms_b[0][j]));
                    continue;
                }
            SPANLET_TRY(k, entry(product, sa, i, sb, j, scratch));
            out[i * cols + j] = k;
        }
        return success();
    }));
    if (symmetric) mirror_upper(out, rows);
    return success();
}

Status diagonal(const ProductCovariance& product, const Atoms& atoms, const Norms& norms, double* out) {
    const Side side = make_side(product, atoms, norms);
    return covariance_rows(side.size(), [&](std::size_t i, Scratch& scratch) -> Status {
        SPANLET_TRY(k, entry(product, side, i, side, i, scratch));
        out[i] = k;
        return success();
    });
}

Status matrix_with_derivatives(const ProductCovariance& product, const Atoms& atoms, const Norms& norms,
                               const DerivativeOutputs& out) {
    const std::size_t n = norms.empty() ? 0 : norms[0].size();
    const std::size_t dims = product.dims.size();
    SPANLET_TRY_STATUS(covariance_rows(n, [&](std::size_t i, Scratch& scratch) -> Status {
        EntryParts parts(product);
        for (std::size_t j = i; j < n; ++j) {
            if (stop_requested()) return success();  // the results are dropped
            for (std::size_t d = 0; d < dims; ++d)
                SPANLET_TRY_STATUS(dimension_parts(product.dims[d], element_of(atoms, d, i), element_of(atoms, d, j),
                                                   atoms.weights[d], norms[d][i] * norms[d][j], scratch, parts.f[d],
                                                   parts.h[d], parts.t[d]));
            const std::size_t at = i * n + j;
            double all = 1.0;
            for (std::size_t d = 0; d < dims; ++d) all *= parts.f[d];
            out.covariance[at] = product.variance * all;
            for (std::size_t d = 0; d < dims; ++d) {
                double others = 1.0;
                for (std::size_t e = 0; e < dims; ++e)
                    if (e != d) others *= parts.f[e];
                const double p = product.variance * others;
                out.lengths[d][at] = p * parts.h[d];
                for (std::size_t m = 0; m < parts.t[d].size(); ++m) out.coefficients[d][m][at] = p * parts.t[d][m];
            }
        }
        return success();
    }));
    mirror_upper(out.covariance, n);
    for (double* array : out.lengths) mirror_upper(array, n);
    for (const auto& arrays : out.coefficients)
        for (double* array : arrays) mirror_upper(array, n);
    return success();
}

}  // namespace spanlet::covariance
