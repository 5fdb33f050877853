"""Factor risk decomposition."""

import random

import pytest

import valmora
from signatures import same
from slow import factor_risk_decomposition as oracle

NAN = float("nan")


def wide(rng):
    # Mixed signs and magnitudes, so any change of summation order shows in the bits.
    return rng.choice([-1, 1]) * rng.random() * 10.0 ** rng.randint(-6, 6)


@pytest.mark.parametrize("n, k", [(1, 1), (2, 3), (7, 5), (33, 8), (40, 17), (300, 50)])
def test_matches_oracle_bit_for_bit(n, k):
    rng = random.Random(n * 100 + k)
    w = [wide(rng) for _ in range(n)]
    L = [[wide(rng) for _ in range(k)] for _ in range(n)]
    F = [[wide(rng) for _ in range(k)] for _ in range(k)]
    s = [wide(rng) for _ in range(n)]
    result = valmora.factor_risk_decomposition(w, L, F, s)
    assert same(result, oracle(w, L, F, s))
    total = result[3][0]
    for c in result[3][1:]:
        total += c
    assert same(total, result[1])


@pytest.mark.parametrize(
    "w, L, F, s",
    [
        ([2.0], [[3.0]], [[5.0]], [7.0]),
        ([0.0, 0.0], [[1.0, -2.0], [3.0, 4.0]], [[1.0, 0.0], [0.0, 1.0]], [-0.0, 1.0]),  # +0.0 exposures
        ([1.0, 2.0], [[1.0, 0.0], [0.0, 1.0]], [[1.0, 3.0], [-1.0, 2.0]], [0.1, 0.2]),  # rows of F used
        ([1.0, 1.0], [[1.0], [1.0]], [[1.0]], [-5.0, -0.0]),  # negative specific variance
        ([1.0, NAN], [[1.0, 2.0], [3.0, 4.0]], [[1.0, 0.0], [0.0, 1.0]], [1.0, 1.0]),
        ([1.0], [[-1.0]], [[0.0]], [-0.0]),  # every variance -0.0: sums start from their first term
    ],
)
def test_edge_values(w, L, F, s):
    assert same(valmora.factor_risk_decomposition(w, L, F, s), oracle(w, L, F, s))


def test_worked_one_by_one():
    assert valmora.factor_risk_decomposition([2.0], [[3.0]], [[5.0]], [7.0]) == (208.0, 180.0, 28.0, [180.0])


SHAPE = "weights and specific_variance length must match factor_loadings rows"
DIMS = "factor_covariance dimensions must match factor_loadings columns"
OK2 = [[1.0, 0.0], [0.0, 1.0]]


@pytest.mark.parametrize(
    "w, L, F, s, message",
    [
        ([1.0], [], [], [1.0, 2.0], "matrix must not be empty"),
        ([1.0] * 3, [[1.0, 2.0]] * 3, [[1.0]], [1.0] * 2, SHAPE),
        ([1.0] * 2, [[1.0, 2.0]] * 3, [], [1.0] * 3, SHAPE),
        ([1.0], [[1.0, 2.0]], [[1.0] * 3] * 3, [1.0], DIMS),
        ([1.0], [[1.0, 2.0]], [[1.0]], [1.0], DIMS),
    ],
)
def test_validation_order(w, L, F, s, message):
    with pytest.raises(ValueError) as e:
        valmora.factor_risk_decomposition(w, L, F, s)
    assert e.value.args == (message,)
