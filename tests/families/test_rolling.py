import math
import random

import pytest

import valmora
from slow import DEFAULT_NAN, NAN, bits, quiet_nan, rolling_correlation as oracle, same_bits


def nan_positions(values):
    return [i for i, v in enumerate(values) if v != v]


@pytest.mark.parametrize(
    "x, y, window, expected",
    [
        ([1, 2, 3, 4], [2, 4, 6, 8], 2, [NAN, 0.9999999999999998, 0.9999999999999998, 0.9999999999999998]),
        ([1, 2, 3], [3, 2, 1], 3, [NAN, NAN, -1.0]),
        ([1, 2, 3, 4, 5], [2, 1, 4, 3, 6], 3, [NAN, NAN, 0.6546536707079772, 0.6546536707079771, 0.6546536707079772]),
        ([1, 1, 2], [1, 2, 3], 2, [NAN, NAN, 0.9999999999999998]),
        ([0.1, 0.1, 0.1, 0.5], [1, 2, 3, 4], 3, [NAN, NAN, 0.0, 0.8660254037844386]),
        ([1, 2, 4], [1, 3, 2], 3, [NAN, NAN, oracle([1.0, 2.0, 4.0], [1.0, 3.0, 2.0], 3)[2]]),
        ([1, 2, 4], [1, 3, 2], 4, [NAN, NAN, NAN]),
        ([], [], 2, []),
    ],
)
def test_worked_values(x, y, window, expected):
    assert same_bits(valmora.rolling_correlation(x, y, window), expected)


@pytest.mark.parametrize(
    "x, y, window, message",
    [
        ([1, 2], [1, 2], 0, "window must be >= 2"),
        ([1, 2], [1, 2], 1, "window must be >= 2"),
        ([1, 2, 3], [1, 2], 1, "window must be >= 2"),
        ([1, 2, 3], [1, 2], 2, "x and y must have the same length"),
        ([], [1.0], 2, "x and y must have the same length"),
    ],
)
def test_validation_order(x, y, window, message):
    with pytest.raises(ValueError) as info:
        valmora.rolling_correlation(x, y, window)
    assert info.value.args == (message,)


def test_huge_window_gives_all_nan():
    assert nan_positions(valmora.rolling_correlation([1, 2, 3], [3, 1, 2], 2**64 - 1)) == [0, 1, 2]


def test_nan_only_touches_its_windows():
    x = [float(i % 7) for i in range(40)]
    y = [float((i * 3) % 11) for i in range(40)]
    x[20] = NAN
    out = valmora.rolling_correlation(x, y, 5)
    assert nan_positions(out) == [0, 1, 2, 3] + list(range(20, 25))


def awkward_series(rng, n):
    """Random values with NaNs (payloads and signs of their own), infinities, signed zeros, huge and
    tiny values and constant stretches."""
    specials = [NAN, quiet_nan(1), quiet_nan(2, negative=True), math.inf, -math.inf, 0.0, -0.0, 1e308, -1e308,
                5e-324, 0.1]
    out = []
    while len(out) < n:
        r = rng.random()
        if r < 0.08:
            out.append(rng.choice(specials))
        elif r < 0.2:
            out.extend([rng.choice([0.1, 3.0, -2.5, 1e-300])] * rng.randint(2, 30))
        else:
            out.append(rng.gauss(0.0, 10.0 ** rng.randint(-3, 3)))
    return out[:n]


# Lengths around the block sizes of every lane width, so whole blocks and scalar tails both run.
@pytest.mark.parametrize("window", [2, 3, 5, 16, 33])
@pytest.mark.parametrize("seed", range(4))
def test_lanes_match_plain_window_loop(window, seed):
    rng = random.Random(seed * 100 + window)
    # 4200 spans the stretches the result list is built in, window positions straddling their ends.
    for n in [window - 1, window, window + 7, window + 8, window + 15, window + 16, window + 17, 150] + [4200] * (seed == 0):
        x = awkward_series(rng, n)
        y = awkward_series(rng, n)
        got = valmora.rolling_correlation(x, y, window)
        want = oracle(x, y, window)
        bad = [i for i in range(n) if bits(got[i]) != bits(want[i])]
        assert not bad, (n, bad[:5], [got[i] for i in bad[:5]], [want[i] for i in bad[:5]])


def test_nan_bits_come_from_the_window_or_the_rule():
    # Before the first window and at zero variance: the positive quiet NaN. Where the arithmetic
    # makes one, its own: inf - inf's default NaN, or an input's payload and sign.
    out = valmora.rolling_correlation([math.inf, -math.inf, 1.0, 1.0, 1.0], [1.0, 2.0, 3.0, 4.0, 5.0], 2)
    assert [bits(v) for v in out] == [bits(NAN), bits(DEFAULT_NAN), bits(DEFAULT_NAN), bits(NAN), bits(NAN)]
    payload = quiet_nan(5, negative=True)
    out = valmora.rolling_correlation([1.0, payload, 2.0], [1.0, 2.0, quiet_nan(6)], 2)
    assert [bits(v) for v in out] == [bits(NAN), bits(payload), bits(payload)]


def test_agrees_with_pandas():
    pd = pytest.importorskip("pandas")
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(5)
    x = rng.normal(size=600).cumsum()
    y = 0.5 * x + rng.normal(size=600)
    for window in (2, 20, 63):
        got = np.array(valmora.rolling_correlation(x.tolist(), y.tolist(), window))
        want = pd.Series(x).rolling(window).corr(pd.Series(y)).to_numpy()
        both = ~np.isnan(got) & ~np.isnan(want)
        assert both.sum() == 600 - window + 1
        np.testing.assert_allclose(got[both], want[both], rtol=1e-9, atol=0)
