import inspect
import math
import os
import signal

import numpy as np
import pytest

from spanlet._spanlet import Projection, SingularError, Space, inner_products
from conftest import dense, evaluated


def quadrature(breaks, pieces=1):
    """8-point Gauss-Legendre nodes and weights on every breakpoint interval, split into `pieces`."""
    breaks = np.unique(np.concatenate([np.linspace(a, b, pieces + 1) for a, b in zip(breaks[:-1], breaks[1:])]))
    x, w = np.polynomial.legendre.leggauss(8)
    mid, half = (breaks[1:] + breaks[:-1]) / 2, (breaks[1:] - breaks[:-1]) / 2
    return (mid[:, None] + half[:, None] * x).ravel(), (half[:, None] * w).ravel()


def spaces():
    """name -> (every element's breakpoints, space); piecewise polynomials of degree <= 3."""
    rng = np.random.default_rng(3)
    uneven = np.sort(np.concatenate([[0.0, 1.0], rng.uniform(0, 1, 9)]))
    fine, coarse = np.linspace(0, 1, 41), np.linspace(0, 1, 7)
    return {
        "boxes-fine": (fine, Space.boxes(fine)),
        "boxes-uneven": (uneven, Space.boxes(uneven)),
        "hats-fine": (fine, Space.hats(fine)),
        "hats-coarse": (coarse, Space.hats(coarse)),
        "cubic": (uneven, Space.bsplines_clamped(uneven, 3)),
        "quadratic-coarse": (coarse, Space.bsplines_clamped(coarse, 2)),
    }


SPACES = spaces()
PAIRS = [("boxes-fine", "cubic"), ("hats-fine", "boxes-uneven"), ("cubic", "hats-coarse"),
         ("boxes-uneven", "quadratic-coarse"), ("quadratic-coarse", "hats-fine")]


def rows_of_f(n, k=5, seed=0):
    return np.random.default_rng(seed).standard_normal((k, n))


@pytest.mark.parametrize("name", sorted(SPACES))
def test_space_onto_itself_is_identity(name):
    space = SPACES[name][1]
    p = Projection(space, space)
    assert (p.n_dst, p.n_src) == (len(space), len(space))
    np.testing.assert_allclose(p.to_dense(), np.eye(len(space)), atol=1e-12)
    f = rows_of_f(len(space))
    np.testing.assert_allclose(p.apply_last_axis(f), f, atol=1e-12)


@pytest.mark.parametrize("src_name, dst_name", PAIRS)
@pytest.mark.parametrize("weight", [None, 1.3])
def test_projection_is_the_least_squares_solution(src_name, dst_name, weight):
    (src_breaks, src), (dst_breaks, dst) = SPACES[src_name], SPACES[dst_name]
    p = Projection(src, dst, weight=weight)
    # Independent reference: Gram and cross matrices from point values on a fine quadrature grid.
    x, w = quadrature(np.union1d(src_breaks, dst_breaks), pieces=1 if weight is None else 8)
    if weight is not None:
        w = w * np.cos(weight * x)
    e_dst, e_src = evaluated(dst, x), evaluated(src, x)
    g = e_dst.T @ (w[:, None] * e_dst)
    k = e_dst.T @ (w[:, None] * e_src)
    operator = np.linalg.solve(g, k)
    np.testing.assert_allclose(dense(p.cross()), k, atol=1e-12)
    np.testing.assert_allclose(p.to_dense(), operator, atol=1e-9 * np.abs(operator).max())
    f = rows_of_f(len(src))
    got = p.apply_last_axis(f)
    np.testing.assert_allclose(got, f @ operator.T, atol=1e-9 * np.abs(got).max())
    # The same from the module's own inner products, to rounding.
    g2 = dense(inner_products(dst, dst, weight))
    k2 = dense(inner_products(dst, src, weight))
    np.testing.assert_allclose(got, np.linalg.solve(g2, k2 @ f.T).T, atol=1e-11 * np.abs(got).max())
    # Bounds that cannot bind recompute the same solution.
    unbounded = p.apply_last_axis(f, (-math.inf, math.inf))
    np.testing.assert_allclose(unbounded, got, atol=1e-11 * np.abs(got).max())


def test_point_samples_project_to_the_least_squares_fit():
    # Deltas as the source: K holds point values, so x = G^-1 B^T f.
    pts = np.linspace(0.01, 0.99, 30)
    breaks, dst = SPACES["cubic"]
    p = Projection(Space.deltas(pts), dst)
    f = rows_of_f(len(pts))
    b = evaluated(dst, pts)
    xq, wq = quadrature(breaks)
    e = evaluated(dst, xq)
    want = np.linalg.solve(e.T @ (wq[:, None] * e), b.T @ f.T).T
    np.testing.assert_allclose(p.apply_last_axis(f), want, atol=1e-10 * np.abs(want).max())


# --- bounded projections -------------------------------------------------------------------------


def problem(p, src, dst, f):
    """Gram matrix, right-hand sides, target integrals and plain masses of a projection."""
    g = dense(inner_products(dst, dst))
    y = f @ dense(p.cross()).T
    c = dst.integrals()
    return g, y, c, p.apply_last_axis(f) @ c


def local_bounds(cross, f_row):
    """Smallest and largest overlapping source value per target row; unbounded when none."""
    indptr, indices = cross[0], cross[1]
    lo, hi = np.full(cross[3][0], -math.inf), np.full(cross[3][0], math.inf)
    for i in range(len(lo)):
        vals = f_row[indices[indptr[i]:indptr[i + 1]]]
        vals = vals[~np.isnan(vals)]
        if len(vals):
            lo[i], hi[i] = vals.min(), vals.max()
    return lo, hi


def row_bounds(p, bounds, f_row):
    """The bounds apply_last_axis keeps row f_row in: its local bounds, or the range for every target."""
    if bounds == "local":
        return local_bounds(p.cross(), f_row)
    return np.full(p.n_dst, bounds[0]), np.full(p.n_dst, bounds[1])


def assert_constrained_optimum(g, y, c, lo, hi, x, mass):
    """KKT conditions of min 1/2 x'Gx - y'x with lo <= x <= hi and c'x = mass (convex, so sufficient)."""
    scale = max(np.abs(y).max(), 1e-300)
    tol = 1e-9 * max(np.abs(x).max(), 1.0)
    assert np.all(x >= lo - tol) and np.all(x <= hi + tol)
    assert c @ x == pytest.approx(mass, rel=1e-10, abs=1e-12 * scale)
    r = y - g @ x
    free = (x > lo + tol) & (x < hi - tol)
    at_lower = (x <= lo + tol) & ~free & (lo < hi)
    at_upper = (x >= hi - tol) & ~free & (lo < hi)
    if free.any():
        lam = (c[free] @ r[free]) / (c[free] @ c[free])
        slack = r - lam * c
        np.testing.assert_allclose(slack[free], 0.0, atol=1e-8 * scale)
        assert np.all(slack[at_lower] <= 1e-8 * scale)
        assert np.all(slack[at_upper] >= -1e-8 * scale)
    else:
        # Every coefficient at a bound: some multiplier must satisfy all the sign conditions (c > 0).
        assert np.all(c > 0)
        assert np.max(r[at_lower] / c[at_lower], initial=-math.inf) <= \
            np.min(r[at_upper] / c[at_upper], initial=math.inf) + 1e-8 * scale / c.min()


def step_rows(n, k, seed):
    """Random step heights on the first rows, single jumps at random places on the others."""
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, 3, (k, n)).astype(float)
    for row in rows[k // 2:]:
        row[:] = np.where(np.arange(n) < rng.integers(1, n), 0.0, 2.0)
    return rows


@pytest.mark.parametrize("src_name, dst_name", [("boxes-uneven", "hats-fine"), ("boxes-fine", "hats-coarse"),
                                                ("boxes-fine", "cubic"), ("hats-fine", "quadratic-coarse")])
def test_local_bounds_keep_range_and_integral(src_name, dst_name):
    src, dst = SPACES[src_name][1], SPACES[dst_name][1]
    p = Projection(src, dst)
    f = step_rows(len(src), 6, seed=len(src))
    g, y, c, masses = problem(p, src, dst, f)
    got = p.apply_last_axis(f, "local")
    assert np.isfinite(got).all()
    assert np.abs(got - p.apply_last_axis(f)).max() > 1e-3  # the bounds bind somewhere
    cross = p.cross()
    for row in range(len(f)):
        lo, hi = local_bounds(cross, f[row])
        if row < len(f) // 2:
            assert_constrained_optimum(g, y[row], c, lo, hi, got[row], masses[row])
        else:
            # Single jumps can leave every coefficient near the jump at a bound, where the
            # multiplier is undetermined; the fallback must still keep bounds and integral.
            assert np.all((got[row] >= lo) & (got[row] <= hi))
            assert c @ got[row] == pytest.approx(masses[row], rel=1e-12, abs=1e-14)


@pytest.mark.parametrize("bounds", [(0.25, 1.25), (0.5, 1.0), (0.6, 0.95)])
def test_range_bounds_give_the_constrained_optimum(bounds):
    src, dst = SPACES["boxes-fine"][1], SPACES["cubic"][1]
    p = Projection(src, dst)
    f = np.random.default_rng(1).integers(0, 3, (6, len(src))) * 0.5 + 0.25
    g, y, c, masses = problem(p, src, dst, f)
    got = p.apply_last_axis(f, bounds)
    assert np.abs(got - p.apply_last_axis(f)).max() > 1e-3
    lo, hi = np.full(len(dst), bounds[0]), np.full(len(dst), bounds[1])
    assert np.all((lo @ c < masses) & (masses < hi @ c))  # every mass is reachable
    for row in range(len(f)):
        assert_constrained_optimum(g, y[row], c, lo, hi, got[row], masses[row])


@pytest.mark.parametrize("degree", [0, 1, 2, 3])
@pytest.mark.parametrize("bounds", [(-3.0, 3.0), (-1.0, 0.5), "local"])
def test_bounds_binding_in_many_places_give_the_constrained_optimum(degree, bounds):
    # Clipped waves: the free coefficients fall into many separate runs, which change from one
    # active-set iteration to the next at some ends only.
    edges = np.linspace(0.0, 1.0, 601)
    breaks = np.linspace(0.0, 1.0, 70)
    src = Space.boxes(edges)
    dst = {0: Space.boxes(breaks), 1: Space.hats(breaks)}.get(degree) or Space.bsplines_clamped(breaks, degree)
    p = Projection(src, dst)
    centers = 0.5 * (edges[1:] + edges[:-1])
    f = np.floor(4.0 * np.sin(20.0 * centers + np.linspace(0.0, 6.0, 8)[:, None]))
    g, y, c, masses = problem(p, src, dst, f)
    got = p.apply_last_axis(f, bounds)
    for row in range(len(f)):
        lo, hi = row_bounds(p, bounds, f[row])
        pinned = (got[row] == lo) | (got[row] == hi)
        assert 3 < pinned.sum() < len(dst) - 3
        assert_constrained_optimum(g, y[row], c, lo, hi, got[row], masses[row])


@pytest.mark.parametrize("degree", [1, 2, 3])
@pytest.mark.parametrize("bounds", [(-3.0, 3.0), "local"])
def test_long_free_runs_give_the_constrained_optimum(degree, bounds):
    # Slow clipped waves on a thousand targets, pinned where clipped (and ringing next to it): free
    # runs of hundreds of coefficients, long enough for a solve to take most of their rows from the
    # factor of the whole band.
    edges = np.linspace(0.0, 1.0, 6001)
    breaks = np.linspace(0.0, 1.0, 1001 - degree)
    src = Space.boxes(edges)
    dst = Space.hats(breaks) if degree == 1 else Space.bsplines_clamped(breaks, degree)
    p = Projection(src, dst)
    centers = 0.5 * (edges[1:] + edges[:-1])
    f = np.clip(4.0 * np.sin(9.0 * centers + np.linspace(0.0, 6.0, 3)[:, None]), -3.0, 3.0)
    g, y, c, masses = problem(p, src, dst, f)
    got = p.apply_last_axis(f, bounds)
    for row in range(len(f)):
        lo, hi = row_bounds(p, bounds, f[row])
        free = (got[row] > lo) & (got[row] < hi)
        assert free.sum() > 200 and (got[row] == lo).sum() + (got[row] == hi).sum() > 50
        assert_constrained_optimum(g, y[row], c, lo, hi, got[row], masses[row])


@pytest.mark.parametrize("seed", [26, 38, 99])
def test_rows_whose_clamped_start_cycles_reach_the_constrained_optimum(seed):
    # Steps onto coarse cubics whose active set, started from the clamped plain projection,
    # cycles (and fell back to clamping); started where the integral moves the coefficients it
    # settles at the optimum.
    rng = np.random.default_rng(seed)
    src = Space.hats(np.sort(np.concatenate([[0.0, 1.0], rng.uniform(0.0, 1.0, 60)])))
    dst = Space.bsplines_clamped(np.linspace(0.0, 1.0, int(rng.integers(8, 30))), int(rng.integers(1, 4)))
    f = np.floor(4.0 * np.sin(rng.uniform(5.0, 40.0) * np.linspace(0.0, 1.0, len(src)) + rng.uniform(0.0, 6.0, (4, 1))))
    p = Projection(src, dst)
    g, y, c, masses = problem(p, src, dst, f)
    got = p.apply_last_axis(f, (-1.0, 2.5))
    lo, hi = np.full(len(dst), -1.0), np.full(len(dst), 2.5)
    reachable = (lo @ c < masses) & (masses < hi @ c)
    assert reachable.sum() >= 3
    for row in np.flatnonzero(reachable):
        assert_constrained_optimum(g, y[row], c, lo, hi, got[row], masses[row])


@pytest.mark.parametrize("bounds", ["local", (-3.0, 3.0)])
def test_long_rows_keep_the_integral_to_rounding(bounds):
    # Thousands of coefficients, most of them pinned: the integral is kept to a few units of
    # rounding of its terms, where one long chain of additions would lose two digits.
    edges = np.linspace(0.0, 1.0, 20001)
    dst = Space.bsplines_clamped(np.linspace(0.0, 1.0, 3998), 3)
    p = Projection(Space.boxes(edges), dst)
    centers = 0.5 * (edges[1:] + edges[:-1])
    f = np.floor(4.0 * np.sin(20.0 * centers + np.linspace(0.0, 6.0, 6)[:, None]))
    c = dst.integrals()
    plain, got = p.apply_last_axis(f), p.apply_last_axis(f, bounds)
    for row in range(len(f)):
        scale = np.abs(c) @ np.abs(got[row])
        assert abs(c @ got[row] - c @ plain[row]) <= 1e-15 * scale


@pytest.mark.parametrize("degree", [0, 1, 3])
def test_long_stretches_of_equal_local_bounds_give_the_constrained_optimum(degree):
    # Few jumps between long constant stretches, one of them noisy: most targets see a single
    # value, in stretches that reach both ends, and the few others settle around them.
    edges = np.linspace(0.0, 1.0, 2001)
    breaks = np.linspace(0.0, 1.0, 300)
    dst = {0: Space.boxes(breaks), 1: Space.hats(breaks)}.get(degree) or Space.bsplines_clamped(breaks, degree)
    src = Space.boxes(edges)
    p = Projection(src, dst)
    rng = np.random.default_rng(degree)
    f = np.empty((4, 2000))
    for row in f:
        cuts = np.sort(rng.choice(np.arange(100, 1900), 5, replace=False))
        row[:] = rng.integers(-3, 4, 6)[np.searchsorted(cuts, np.arange(2000), side="right")]
        row[1000:1100] += rng.standard_normal(100)
    g, y, c, masses = problem(p, src, dst, f)
    got = p.apply_last_axis(f, "local")
    for row in range(len(f)):
        lo, hi = local_bounds(p.cross(), f[row])
        assert (lo == hi).sum() > len(dst) // 2
        assert_constrained_optimum(g, y[row], c, lo, hi, got[row], masses[row])


@pytest.mark.parametrize("rows", [1, 3, 4])
@pytest.mark.parametrize("shuffled", [False, True])
def test_local_bounds_of_many_targets_are_those_of_their_sources(rows, shuffled):
    # Hundreds of targets, whose bounds are gathered range by range alongside the cross products;
    # shuffled targets reach for their sources' runs out of order.
    edges = np.linspace(0.0, 1.0, 3001)
    dst = Space.hats(np.linspace(0.0, 1.0, 700))
    if shuffled:
        dst = dst.take(np.random.default_rng(3).permutation(len(dst)))
    src = Space.boxes(edges)
    p = Projection(src, dst)
    centers = 0.5 * (edges[1:] + edges[:-1])
    f = np.floor(4.0 * np.sin(37.0 * centers + np.linspace(0.0, 6.0, rows)[:, None]))
    g, y, c, masses = problem(p, src, dst, f)
    got = p.apply_last_axis(f, "local")
    for row in range(rows):
        lo, hi = local_bounds(p.cross(), f[row])
        assert ((got[row] == lo) | (got[row] == hi)).sum() > 100
        assert_constrained_optimum(g, y[row], c, lo, hi, got[row], masses[row])


@pytest.mark.parametrize("rows", [1, 2, 3, 37])
def test_local_bounds_take_the_sources_that_straddle_knots(rows):
    # Boxes whose edges fall on some knots and between others: a box across a knot starts some
    # targets' sources and ends others', and carries a value of its own; a box that ends on a
    # knot ends targets' sources with nothing across. Many rows go four at a time.
    knots = np.linspace(0.0, 1.0, 41)
    rng = np.random.default_rng(rows)
    inside = np.concatenate([np.linspace(a, b, 7)[1:-1] + rng.uniform(-0.004, 0.004, 5) for a, b in
                             zip(knots[:-1], knots[1:])])
    edges = np.sort(np.concatenate([knots[::2], inside, knots[1::2] + 0.002]))
    src = Space.boxes(edges)
    for dst in (Space.bsplines_clamped(knots, 3), Space.hats(knots)):
        p = Projection(src, dst)
        centers = 0.5 * (edges[1:] + edges[:-1])
        f = np.floor(3.0 * np.sin(4.0 * centers + np.linspace(0.0, 5.0, rows)[:, None]))
        across = np.searchsorted(edges, knots[1::2] + 0.001)[::3] - 1  # boxes across odd knots
        f[:, across] = rng.integers(-4, 5, (rows, len(across)))
        f[-1, across[::4]] = -0.0
        g, y, c, masses = problem(p, src, dst, f)
        got = p.apply_last_axis(f, "local")
        indptr, indices = p.cross()[0], p.cross()[1]
        pinned_count = 0
        for row in range(rows):
            lo, hi = local_bounds(p.cross(), f[row])
            pinned = lo == hi
            pinned_count += pinned.sum()
            assert np.array_equal(got[row][pinned], lo[pinned])
            for target in np.flatnonzero(pinned & (lo == 0.0)):  # -0 exactly when some source is -0
                values = f[row][indices[indptr[target]:indptr[target + 1]]]
                assert np.signbit(got[row][target]) == np.signbit(values).any()
            assert_constrained_optimum(g, y[row], c, lo, hi, got[row], masses[row])
        assert pinned_count > 2 * rows


@pytest.mark.parametrize("seed", [52, 138, 215])
def test_local_bounds_of_noisy_rows_give_the_constrained_optimum(seed):
    # Noise on boxes of random widths: free coefficients are pinned, freed and pinned again at the
    # same bound as the active set goes, which changes the right-hand side of a neighbour back to
    # what it was two solves before while the solve in between read it from the band.
    rng = np.random.default_rng(seed)
    edges = np.sort(np.concatenate([[0.0, 1.0], rng.uniform(0.0, 1.0, 147)]))
    src, dst = Space.boxes(edges), Space.bsplines_clamped(np.linspace(0.0, 1.0, 111), 3)
    p = Projection(src, dst)
    f = rng.normal(0.0, 1.0, (16, len(src)))
    g, y, c, masses = problem(p, src, dst, f)
    got = p.apply_last_axis(f, "local")
    for row in range(len(f)):
        lo, hi = local_bounds(p.cross(), f[row])
        assert_constrained_optimum(g, y[row], c, lo, hi, got[row], masses[row])


@pytest.mark.parametrize("cutoff, half_bandwidth", [(4.0, 6), (5.5, 8), (7.0, 11)])
@pytest.mark.parametrize("bounds", [(-1.0, 0.5), "local"])
def test_wide_bands_give_the_constrained_optimum(cutoff, half_bandwidth, bounds):
    # Gaussians whose Gram matrix reaches up to 8 neighbours (solved in blocks of free
    # coefficients) and beyond (a sparse factorisation of each free set).
    edges = np.linspace(0.0, 1.0, 601)
    src = Space.boxes(edges)
    dst = Space.gaussians(np.linspace(0.05, 0.95, 60), np.full(60, 0.012), cutoff)
    p = Projection(src, dst)
    g, _, _, _ = problem(p, src, dst, np.zeros((1, len(src))))
    rows, cols = np.nonzero(g)
    assert np.abs(rows - cols).max() == half_bandwidth
    centers = 0.5 * (edges[1:] + edges[:-1])
    f = np.floor(4.0 * np.sin(20.0 * centers + np.linspace(0.0, 6.0, 6)[:, None]))
    g, y, c, masses = problem(p, src, dst, f)
    got = p.apply_last_axis(f, bounds)
    pinned = 0
    for row in range(len(f)):
        lo, hi = row_bounds(p, bounds, f[row])
        pinned += ((got[row] == lo) | (got[row] == hi)).sum()
        assert_constrained_optimum(g, y[row], c, lo, hi, got[row], masses[row])
    assert pinned > 3  # the bounds bind


@pytest.mark.parametrize("extra", [1, 2, 3])
@pytest.mark.parametrize("bounds", [None, (-3.0, 3.0), "local"])
def test_rows_in_groups_match_one_at_a_time(extra, bounds):
    # Enough rows for every worker to take groups of four, with a last group of `extra`: the
    # cross products, the bounds and the plain solve of a group must give each row what it gets
    # alone.
    edges = np.linspace(0.0, 1.0, 401)
    p = Projection(Space.boxes(edges), Space.bsplines_clamped(np.linspace(0.0, 1.0, 50), 3))
    k = 4 * len(os.sched_getaffinity(0)) + extra
    centers = 0.5 * (edges[1:] + edges[:-1])
    f = np.floor(4.0 * np.sin(20.0 * centers + np.linspace(0.0, 6.0, k)[:, None]))
    f[1, ::7] = np.nan  # NaN sources are left out of local bounds
    f[2, 100:140] = -0.0
    one_at_a_time = np.vstack([p.apply_last_axis(row[None, :], bounds) for row in f])
    np.testing.assert_array_equal(p.apply_last_axis(f, bounds), one_at_a_time)


def test_infeasible_mass_still_respects_range_bounds():
    src, dst = SPACES["boxes-fine"][1], SPACES["hats-coarse"][1]
    p = Projection(src, dst)
    f = np.array([np.full(len(src), 5.0), np.full(len(src), -5.0), np.linspace(-9.0, 9.0, len(src))])
    got = p.apply_last_axis(f, (0.0, 1.0))
    assert np.all((got >= 0.0) & (got <= 1.0))
    np.testing.assert_array_equal(got[0], 1.0)
    np.testing.assert_array_equal(got[1], 0.0)


def test_equal_range_bounds_pin_every_coefficient():
    src, dst = SPACES["boxes-uneven"][1], SPACES["cubic"][1]
    f = rows_of_f(len(src))
    f[1, 3] = np.nan
    got = Projection(src, dst).apply_last_axis(f, (1.0, 1.0))
    np.testing.assert_array_equal(got, 1.0)


def test_target_far_from_every_source_is_unbounded():
    # Hats on [0, 3] and [7, 10] only; sources cover [0, 3]. The far block couples to nothing.
    nodes = np.linspace(0.0, 10.0, 41)
    dst = Space.hats(nodes).take(list(range(0, 12)) + list(range(29, 41)))
    src = Space.boxes(np.linspace(0.0, 3.0, 10))
    p = Projection(src, dst)
    cross = p.cross()
    assert np.all(np.diff(cross[0])[12:] == 0)
    f = step_rows(len(src), 4, seed=5)
    plain = p.apply_last_axis(f)
    np.testing.assert_array_equal(plain[:, 12:], 0.0)
    got = p.apply_last_axis(f, "local")
    g, y, c, masses = problem(p, src, dst, f)
    for row in range(len(f)):
        lo, hi = local_bounds(cross, f[row])
        assert np.isinf(lo[12:]).all() and np.isinf(hi[12:]).all()
        assert_constrained_optimum(g, y[row], c, lo, hi, got[row], masses[row])


def test_local_bounds_do_not_depend_on_source_order():
    # Shuffled sources make the rows of the cross matrix scattered rather than contiguous runs.
    src, dst = SPACES["boxes-uneven"][1], SPACES["cubic"][1]
    order = np.random.default_rng(7).permutation(len(src))
    f = step_rows(len(src), 4, seed=3)
    f[0, ::3] = np.nan
    sorted_sources = Projection(src, dst).apply_last_axis(f, "local")
    shuffled = Projection(src.take(order), dst).apply_last_axis(f[:, order], "local")
    np.testing.assert_allclose(shuffled, sorted_sources, rtol=1e-12, atol=1e-12)


def test_local_bounds_tolerate_nan_sources():
    src, dst = SPACES["boxes-fine"][1], SPACES["hats-fine"][1]
    p = Projection(src, dst)
    f = step_rows(len(src), 3, seed=2)
    f[0, :] = np.nan
    f[1, 10:14] = np.nan
    got = p.apply_last_axis(f, "local")
    assert got.shape == (3, len(dst))
    assert np.isfinite(got[2]).all()


@pytest.mark.parametrize("rows", [1, 2, 3, 5])
@pytest.mark.parametrize("shuffled", [False, True])
def test_local_bounds_order_zeros_by_sign(rows, shuffled):
    # A target whose sources are all zeros (NaN aside) is pinned at its bound: -0 exactly when
    # some source is -0. Shuffled sources take the path without source runs.
    edges = np.linspace(0.0, 1.0, 201)
    src, dst = Space.boxes(edges), Space.hats(np.linspace(0.0, 1.0, 21))
    rng = np.random.default_rng(rows)
    f = np.where(rng.random((rows, 200)) < np.linspace(0.0, 1.0, rows + 2)[1:-1, None], -0.0, 0.0)
    f[:, 3::17] = np.nan
    f[:, 120:160] = rng.integers(1, 4, (rows, 40))  # the bounds bind here and the mass is kept
    f[:, 30:50] = -0.0
    order = rng.permutation(200) if shuffled else np.arange(200)
    p = Projection(src.take(order), dst)
    got = p.apply_last_axis(f[:, order], "local")
    cross = p.cross()
    indptr, indices = cross[0], cross[1]
    for j in range(rows):
        for target in range(len(dst)):
            values = f[j, order][indices[indptr[target]:indptr[target + 1]]]
            values = values[~np.isnan(values)]
            if len(values) and np.all(values == 0.0):
                assert got[j, target] == 0.0 and np.signbit(got[j, target]) == np.signbit(values).any()


@pytest.mark.parametrize("dst", [SPACES["cubic"][1], Space.bsplines_periodic(np.linspace(0, 1, 41), 3)],
                         ids=["clamped", "periodic"])
def test_rows_solved_together_match_one_at_a_time(dst):
    # Seven rows: solved four, two and one at a time.
    p = Projection(SPACES["boxes-fine"][1], dst)
    f = np.random.default_rng(4).standard_normal((7, len(SPACES["boxes-fine"][1])))
    one_at_a_time = np.vstack([p.apply_last_axis(row[None, :]) for row in f])
    np.testing.assert_array_equal(p.apply_last_axis(f), one_at_a_time)


@pytest.fixture(scope="module")
def wide_projection():
    return Projection(Space.boxes(np.linspace(0, 1, 100_001)), Space.bsplines_clamped(np.linspace(0, 1, 2000), 3))


def test_large_strided_input_reads_like_a_contiguous_one(wide_projection):
    wide = np.random.default_rng(0).standard_normal((12, 200_000))
    for f in (wide[:, ::2], np.asfortranarray(wide[:, 1::2])):  # 9.6 MB each: copied on the pool
        np.testing.assert_array_equal(wide_projection.apply_last_axis(f),
                                      wide_projection.apply_last_axis(np.ascontiguousarray(f)))


def test_calls_from_signal_handlers_during_a_call_keep_their_inputs_apart():
    p = Projection(Space.boxes(np.linspace(0, 1, 20_001)), Space.bsplines_clamped(np.linspace(0, 1, 9998), 3))
    # The inner calls' inputs are as large as the outer one's, whose rows the local bounds read
    # one by one while the call runs.
    big, small = np.floor(4 * np.random.default_rng(1).standard_normal((2, 200, 20_000)))
    want_big, want_small = p.apply_last_axis(big, "local"), p.apply_last_axis(small)
    inside, seen = [False], []

    def handler(*_):
        if inside[0]:
            inside[0] = False  # the inner call polls too: no handler inside the handler
            seen.append(p.apply_last_axis(small))
            inside[0] = True

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
    try:
        inside[0] = True
        got = p.apply_last_axis(big, "local")
        inside[0] = False
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert seen
    np.testing.assert_array_equal(got, want_big)
    for result in seen:
        np.testing.assert_array_equal(result, want_small)


def test_zero_rows():
    src, dst = SPACES["boxes-fine"][1], SPACES["cubic"][1]
    p = Projection(src, dst)
    for bounds in (None, "local", (0.0, 1.0)):
        got = p.apply_last_axis(np.zeros((0, len(src))), bounds)
        assert got.shape == (0, len(dst)) and got.dtype == np.float64


def test_dependent_targets_are_singular():
    src = SPACES["boxes-fine"][1]
    hats = Space.hats(np.linspace(0.0, 1.0, 6))
    with pytest.raises(SingularError, match=r"^pivot 1 is .*: the target elements are linearly dependent, or "
                                            r"one of them has zero norm$"):
        Projection(src, hats.take([2, 2, 3]))
    with pytest.raises(SingularError, match=r"^pivot 3 is "):
        Projection(src, hats.take([0, 1, 2, 1]))


# --- argument checks -----------------------------------------------------------------------------


@pytest.fixture(scope="module")
def small():
    return Projection(Space.boxes(np.linspace(0.0, 1.0, 41)), Space.hats(np.linspace(0.0, 1.0, 5)))


@pytest.mark.parametrize("bounds, error, message", [
    ("Local", ValueError, 'bounds must be \'local\' or (lo, hi), got "Local"'),
    ("lo\tcal\"", ValueError, 'bounds must be \'local\' or (lo, hi), got "lo\\tcal\\""'),
    ((2.0, 1.0), ValueError, "bounds need lo <= hi"),
    ((math.nan, 1), ValueError, "bounds need lo <= hi"),
    ((0, math.nan), ValueError, "bounds need lo <= hi"),
    ((0.0, 1.0, 2.0), ValueError, None),  # the tuple rule's length error
    ((0.0,), ValueError, None),
    ([0.0, 1.0], TypeError, None),
    (1.0, TypeError, None),
    (("a", 1.0), TypeError, None),
])
def test_bad_bounds(small, bounds, error, message):
    with pytest.raises(error) as info:
        small.apply_last_axis(np.zeros((2, 40)), bounds)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


def test_check_order_and_column_count(small):
    f = np.zeros((2, 3))
    with pytest.raises(ValueError, match=r"^f has 3 values along the transformed axis, expected 40$"):
        small.apply_last_axis(f)
    with pytest.raises(ValueError, match=r"^f has 3 values along the transformed axis, expected 40$"):
        small.apply_last_axis(f, bounds="local")
    # f extraction before bounds parsing before the column count.
    with pytest.raises(TypeError, match="'f'"):
        small.apply_last_axis(np.zeros(40), "Local")
    with pytest.raises(ValueError, match="^bounds must be"):
        small.apply_last_axis(f, "Local")
    with pytest.raises(ValueError, match="^bounds need"):
        small.apply_last_axis(f, (1.0, 0.0))


@pytest.mark.parametrize("weight, error, message", [
    (0.0, ValueError, "bad cosine weight scale 0"),
    (-0.0, ValueError, "bad cosine weight scale -0"),
    (math.inf, ValueError, "bad cosine weight scale inf"),
    (math.nan, ValueError, "bad cosine weight scale NaN"),
    ("1", TypeError, None),
])
def test_bad_weight(weight, error, message):
    space = Space.boxes(np.linspace(0.0, 1.0, 5))
    with pytest.raises(error) as info:
        Projection(space, space, weight=weight)
    assert str(info.value) == message if message else "weight" in str(info.value)


def test_spaces_are_required():
    space = Space.boxes(np.linspace(0.0, 1.0, 5))
    with pytest.raises(TypeError, match="'src'"):
        Projection(None, space)
    with pytest.raises(TypeError, match="'dst'"):
        Projection(space, np.zeros(3))


def test_signatures_and_docstring():
    assert str(inspect.signature(Projection)) == "(src, dst, weight=None)"
    assert str(inspect.signature(Projection.apply_last_axis)) == "(self, /, f, bounds=None)"
    assert Projection.apply_last_axis.__doc__.splitlines()[-2:] == [
        "Projects each row of f, shape (k, n_src), returning (k, n_dst). `bounds` is None,",
        '"local", or (lo, hi).']


@pytest.mark.parametrize("b", [1, 3])
@pytest.mark.parametrize("symmetric", [True, False])
def test_dense_band_slots_read_every_entry(b, symmetric):
    # The sweeps read slot t of row p as G[p][p - b + t]. A matrix equal to its transpose bit for
    # bit keeps the lower slots only and reads the upper ones from them; any other keeps them all.
    import _spanlet_tests as t
    n = 40
    rng = np.random.default_rng(b)
    lower = np.tril(np.triu(rng.standard_normal((n, n)), -b))
    g = lower + np.tril(lower, -1).T
    g[5, 5 - b] = 0.0  # not stored: reads as 0
    g[5 - b, 5] = 0.0 if symmetric else 0.5  # stored on one side only
    if not symmetric:
        g[20, 20 + b] += 1e-3  # stored on both sides, unequal
    rows, cols = np.nonzero(g)
    indptr = np.searchsorted(rows, np.arange(n + 1))
    slots, kept = t.dense_band_slots((indptr, cols, g[rows, cols], (n, n)), b)
    assert kept == (b + 1 if symmetric else 2 * b + 1)
    want = np.zeros((n, 2 * b + 1))
    for p in range(n):
        for s in range(2 * b + 1):
            if 0 <= p - b + s < n:
                want[p, s] = g[p, p - b + s]
    np.testing.assert_array_equal(slots, want)
