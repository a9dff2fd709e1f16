// Least-squares projection of expansions in a source space onto a target space, optionally
// keeping the target coefficients inside range or local bounds while preserving the integral.
#pragma once

#include <cstdint>
#include <vector>

#include "core/linalg/banded.hpp"
#include "core/integration/integrate.hpp"
#include "core/spaces/space.hpp"
#include "core/linalg/sparse.hpp"

namespace spanlet {

struct ProjectionBounds {
    enum class Kind { Range, Local };
    Kind kind = Kind::Range;
    double lo = 0.0, hi = 0.0;  // for Range
};

// The rows of a cross matrix as unions of elementary runs of source columns, cut where some row
// starts, and where some row ends unless a run starts there or one source before (that row then
// takes the first source of the run that goes on past it); empty unless every row is one
// contiguous run and the runs save reads. Rows that end one source into a run are the rule where
// each source straddling a knot starts some rows and ends others: a cut after it as well would
// make it a run of its own, twice the runs for the same sources.
struct SourceRuns {
    std::vector<std::uint64_t> starts;      // run r covers sources starts[r] .. starts[r + 1] - 1
    std::vector<std::uint64_t> begin, end;  // target p combines runs begin[p] .. end[p] - 1
    std::vector<unsigned char> head;        // 1: target p also takes source starts[end[p]]

    static SourceRuns of(const Csr& cross);
    bool empty() const { return starts.empty(); }
};

// A Gram matrix of half-bandwidth b as a dense band, slot by slot: slots[slot_at[t] + p] holds
// G[p][p - b + t] for t <= 2 b (0 where nothing is stored, outside the matrix included), so that
// loops over many rows read each slot in order; rows[p * (2 b + 1) + t] the same row by row, for
// work on single rows; and stored[p * (2 b + 1) + t] whether that entry is stored. A matrix that
// equals its transpose bit for bit keeps the slots t <= b only: slot t > b is slot 2 b - t read
// t - b places on (G[p][q] = G[q][p]), which makes the slots the sweeps stream half as long.
struct DenseBand {
    std::size_t bandwidth = 0;
    std::vector<double> slots, rows;
    std::vector<std::size_t> slot_at;
    std::vector<unsigned char> stored;
    // The L D L^T factor of the whole band, rows as BandBlocks keeps them (empty where it fails):
    // the reference of the bounded refinement's solves.
    std::vector<double> factor_rows;

    static DenseBand of(const Csr& matrix, std::size_t b);
};

class Projection {
public:
    static Result<Projection> make(const Space& src, const Space& dst, CosineWeight omega);

    std::size_t n_dst() const { return cross_.nrows; }
    std::size_t n_src() const { return cross_.ncols; }
    const Csr& cross() const { return cross_; }
    const Csr& gram() const { return gram_; }
    const BandedCholesky& gram_factor() const { return gram_factor_; }

    // G^-1 K as an n_dst x n_src row-major array.
    std::vector<double> to_dense() const;

    // Projects k rows of n_src values (row-major at f); returns k rows of n_dst values.
    std::vector<double> apply_last_axis(const double* f, std::size_t k) const;
    std::vector<double> apply_bounded_last_axis(const double* f, std::size_t k, const ProjectionBounds& bounds) const;

private:
    Projection(Csr gram, BandedCholesky factor, Csr cross, std::vector<double> dst_integrals);

    Csr gram_;
    std::vector<double> gram_diagonal_;  // stored diagonal of gram_, 1 where none is stored
    std::size_t gram_band_;              // the largest |p - q| over the stored entries of gram_
    DenseBand gram_rows_;                // gram_ as a dense band when gram_band_ is small, else empty
    BandedCholesky gram_factor_;
    Csr cross_;
    std::vector<double> dst_integrals_;
    std::vector<double> multiplier_response_;  // G^-1 dst_integrals_: how the plain projection answers the multiplier
    SourceRuns source_runs_;
};

}  // namespace spanlet
