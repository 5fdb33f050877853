import math
import random

import pytest

import valmora
from signatures import same
from slow import cointegration_spread as oracle

pytestmark = pytest.mark.memcheck


@pytest.mark.parametrize(
    "y, x, beta, alpha, spread",
    [
        ([3, 5, 4], [1, 2, 3], 0.5, 3.0, [-0.5, 1.0, -0.5]),
        ([2, 4, 6, 8], [1, 2, 3, 4], 2.0, 0.0, [0.0, 0.0, 0.0, 0.0]),
        ([1, 3, 2, 5], [1, 2, 3, 4], 1.1, 0.0, [-0.09999999999999987, 0.8, -1.3, 0.5999999999999999]),
        ([0, 1, 2], [0.1, 0.1, 0.1], 0.0, 1.0, [-1.0, 0.0, 1.0]),
    ],
)
def test_worked_values(y, x, beta, alpha, spread):
    assert same(valmora.cointegration_spread(y, x), (beta, alpha, spread))


@pytest.mark.parametrize(
    "y, x, message",
    [
        ([], [], "x and y must have the same non-zero length"),
        ([1.0], [], "x and y must have the same non-zero length"),
        ([1, 2, 3], [2, 2], "x and y must have the same non-zero length"),
        ([1, 2], [2, 2, 2], "x and y must have the same non-zero length"),
        ([1, 5, 3, 4], [2, 2, 2, 2], "x variance must be positive"),
        ([7.0], [3.0], "x variance must be positive"),
        ([float("nan")], [3.0], "x variance must be positive"),
    ],
)
def test_validation(y, x, message):
    with pytest.raises(ValueError) as info:
        valmora.cointegration_spread(y, x)
    assert info.value.args == (message,)


def test_nan_in_x_spreads_everywhere():
    beta, alpha, spread = valmora.cointegration_spread([1.0, 2.0, 3.0], [1.0, float("nan"), 2.0])
    assert math.isnan(beta) and math.isnan(alpha) and all(math.isnan(v) for v in spread)


@pytest.mark.parametrize("seed, kind", [(seed, "gauss") for seed in range(8)] + [(0, "ties"), (1, "ties")]
                         + [(n, "negative zeros") for n in (5, 6, 9)])
def test_matches_ordered_oracle(seed, kind):
    rng = random.Random(seed)
    if kind == "ties":
        # Integers just above 2^40: once the sums pass 2^53 their spacing is 2 or 4, and halves
        # of it (ties) are common among the terms.
        x = [float((1 << 40) + rng.randint(0, 1023)) for _ in range(1 << 15)]
        y = [v + rng.randint(-64, 64) for v in x]
    elif kind == "negative zeros":
        # y of -0.0 has mean -0.0; the cross-products are zeros whose signs decide beta's, in
        # vector lanes and the scalar tail.
        y, x = [-0.0] * seed, [0.0] + [1.0] * (seed - 1)
    else:
        x = [rng.gauss(100.0, 5.0) for _ in range(rng.choice([2, 3, 17, 200, 3000]))]
        y = [1.7 * v + rng.gauss(0.0, 1.0) for v in x]
    assert same(valmora.cointegration_spread(y, x), oracle(y, x))


def test_agrees_with_numpy_least_squares():
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(11)
    x = rng.normal(size=2000).cumsum() + 50.0
    y = 0.8 * x + 3.0 + rng.normal(size=2000)
    beta, alpha, spread = valmora.cointegration_spread(y.tolist(), x.tolist())
    (b, a), *_ = np.linalg.lstsq(np.column_stack([x, np.ones_like(x)]), y, rcond=None)
    assert beta == pytest.approx(b, rel=1e-9) and alpha == pytest.approx(a, rel=1e-9)
    residuals = y - (b * x + a)
    np.testing.assert_allclose(spread, residuals - residuals.mean(), rtol=0, atol=1e-9)
