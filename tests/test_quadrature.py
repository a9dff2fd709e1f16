import numpy as np
import pytest

import _spanlet_tests as t

# Positive halves of the nodes and weights, to a few units in the last place.
TABLE = {
    4: ([0.3399810435848563, 0.8611363115940526], [0.6521451548625464, 0.34785484513745374]),
    8: (
        [0.18343464249564978, 0.525532409916329, 0.7966664774136268, 0.9602898564975363],
        [0.362683783378362, 0.3137066458778874, 0.22238103445337445, 0.10122853629037679],
    ),
}


@pytest.mark.parametrize("n", [4, 8])
def test_rule_matches_table_and_numpy(n):
    nodes, weights = t.gauss_legendre(n)
    np.testing.assert_allclose(nodes[n // 2 :], TABLE[n][0], rtol=4e-16, atol=0)
    np.testing.assert_allclose(weights[n // 2 :], TABLE[n][1], rtol=4e-16, atol=0)
    ref_nodes, ref_weights = np.polynomial.legendre.leggauss(n)
    np.testing.assert_allclose(nodes, ref_nodes, rtol=1e-15, atol=0)
    np.testing.assert_allclose(weights, ref_weights, rtol=1e-14, atol=0)


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 8, 9])
def test_rule_structure(n):
    nodes, weights = t.gauss_legendre(n)
    assert np.all(np.diff(nodes) > 0)
    assert np.array_equal(nodes, -nodes[::-1])
    assert np.array_equal(weights, weights[::-1])
    assert np.all(weights > 0)
    assert abs(weights.sum() - 2.0) <= 2e-15


@pytest.mark.parametrize("n", [4, 8])
def test_shared_rule_is_the_built_rule(n):
    shared, built = t.shared_rule(n), t.gauss_legendre(n)
    assert np.array_equal(shared[0], built[0]) and np.array_equal(shared[1], built[1])


@pytest.mark.parametrize("n, power", [(4, 6), (8, 14)])
def test_highest_exact_degree(n, power):
    nodes, weights = t.shared_rule(n)
    total = 0.0
    for x, w in zip(nodes, weights):
        total += w * x**power
    # x^14 magnifies the nodes' last-place errors fourteenfold.
    assert total == pytest.approx(2.0 / (power + 1), rel=1e-14, abs=0)


@pytest.mark.parametrize("a, b", [(-1.0, 1.0), (0.25, 3.5), (-7.0, -2.0), (2.0, 2.0), (3.0, 1.0)])
def test_integrate_exact_to_degree_15(a, b):
    coefficients = np.random.default_rng(3).uniform(-1, 1, 16)
    antiderivative = np.polynomial.Polynomial(coefficients).integ()
    expected = antiderivative(b) - antiderivative(a)
    scale = np.abs(coefficients).sum() * max(abs(a), abs(b), 1.0) ** 16
    assert t.integrate_polynomial(coefficients, a, b) == pytest.approx(expected, abs=1e-14 * scale)


def test_integrate_uses_the_8_point_rule():
    # x^16 is the first power the 8-point rule gets wrong, which identifies the rule.
    coefficients = np.zeros(17)
    coefficients[16] = 1.0
    value = t.integrate_polynomial(coefficients, -1.0, 1.0)
    nodes, weights = np.polynomial.legendre.leggauss(8)
    assert value == pytest.approx(np.dot(weights, nodes**16), rel=1e-14)
    assert abs(value - 2.0 / 17) > 1e-5
