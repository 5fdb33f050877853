"""Almgren-Chriss market impact and the optimal execution trajectory."""

import math
import random

import pytest

import valmora
from signatures import same
from slow import almgren_chriss_market_impact as impact_oracle, optimal_execution_trajectory as trajectory_oracle

NAN, INF = float("nan"), float("inf")


def test_impact_worked_example():
    spread, temporary, permanent, total = valmora.almgren_chriss_market_impact(1000, 0.02, 1e6, 0.01, 0.1, 0.5)
    assert (spread, temporary) == (5.0, 0.002)
    assert permanent == pytest.approx(0.316228, abs=1e-6) and total == pytest.approx(5.318228, abs=1e-6)


@pytest.mark.parametrize("seed", range(5))
def test_impact_matches_oracle(seed):
    rng = random.Random(seed)
    for _ in range(200):
        args = [rng.uniform(-1, 1) * 10.0 ** rng.randint(-5, 8) for _ in range(6)]
        args[2] = abs(args[2])
        assert same(valmora.almgren_chriss_market_impact(*args), impact_oracle(*args))


@pytest.mark.parametrize(
    "args",
    [(-1000, 0.02, 1e6, 0.01, 0.1, 0.5), (-0.0, 0.3, 5.0, 1.0, 1.0, 1.0), (10, 0.2, INF, 0.01, 1, 1),
     (10, 0.2, NAN, 0.01, 1, 1), (0, 0.2, 7.0, 0.01, 1, 1)],
)
def test_impact_special_inputs(args):
    got = valmora.almgren_chriss_market_impact(*args)
    assert same(got, impact_oracle(*args))
    assert same(got, valmora.almgren_chriss_market_impact(abs(args[0]), *args[1:]))


@pytest.mark.parametrize("volume", [0.0, -0.0, -1.0, -INF])
def test_impact_needs_positive_volume(volume):
    with pytest.raises(ValueError) as e:
        valmora.almgren_chriss_market_impact(1, 1, volume, 1, 1, 1)
    assert e.value.args == ("daily_volume must be positive",)


def test_impact_converts_everything_before_validating():
    with pytest.raises(TypeError, match="^argument 'permanent_impact': "):
        valmora.almgren_chriss_market_impact(1, 1, 0, 1, 1, "x")


def test_trajectory_worked_examples():
    assert valmora.optimal_execution_trajectory(100, 4, 0) == ([100.0, 75.0, 50.0, 25.0, 0.0], [25.0] * 4)
    holdings, trades = valmora.optimal_execution_trajectory(100, 4, 1)
    assert holdings == pytest.approx([100.0, 65.0068, 37.7541, 16.5296, 0.0], abs=1e-4)
    assert trades == pytest.approx([34.9932, 27.2527, 21.2244, 16.5296], abs=1e-4)
    assert trades == sorted(trades, reverse=True)


# The forms switch at 2^-52 (linear below, expm1 from there) and 2^-26 (exp from there).
EXPM1_FROM, EXP_FROM = 2.0**-52, 2.0**-26
BOUNDARIES = [math.nextafter(EXPM1_FROM, 0), EXPM1_FROM, math.nextafter(EXPM1_FROM, 1),
              math.nextafter(EXP_FROM, 0), EXP_FROM, math.nextafter(EXP_FROM, 1)]


@pytest.mark.parametrize("kappa", [0.0, -0.0, NAN, 1e-15, 1e-12, 1e-3, 0.5, 1.0, 7.0, 60.0, 800.0] + BOUNDARIES)
@pytest.mark.parametrize("x, n", [(100.0, 1), (-250.5, 3), (1e6 / 3, 17), (-0.0, 4)])
def test_trajectory_matches_oracle(x, n, kappa):
    got = valmora.optimal_execution_trajectory(x, n, kappa)
    assert same(got, trajectory_oracle(x, n, kappa))
    if not kappa < EXP_FROM:
        # Taking the first exponent as zero changes no bit for a finite risk aversion.
        assert same(got, trajectory_oracle(x, n, kappa, mended=False))
    assert same(got[0][-1], 0.0)


@pytest.mark.parametrize("kappa", [5e-324, 1e-300, 1e-17, 5e-17, 1e-16, math.nextafter(EXPM1_FROM, 0)])
def test_tiny_risk_aversion_takes_the_linear_limit(kappa):
    # Up to 5e-17 exp(-k) rounds to 1 and the unguarded formula would divide 0 by 0; above, it is
    # within rounding of the linear form.
    for x, n in [(100.0, 4), (-7.0, 3)]:
        assert same(valmora.optimal_execution_trajectory(x, n, kappa), trajectory_oracle(x, n, 0.0))


@pytest.mark.parametrize("x", [100.0, -3.5, 1e6 / 3])
def test_small_risk_aversion_trades_never_grow_by_more_than_rounding(x):
    # The plain exponential form once left a period with no trade at all (k = 1e-15, N = 10).
    rng = random.Random(13)
    kappas = [EXPM1_FROM, 1e-15, 1e-12, 1e-9, math.nextafter(EXP_FROM, 0)]
    kappas += [2.0 ** rng.uniform(-52, -26) for _ in range(8)]
    # Trades of a path this close to linear differ by a few ulps of X either way (so do the linear
    # form's); a stalled period shows up as X / N.
    slack = 16 * 2.0**-52 * abs(x)
    for n in [2, 3, 7, 10, 13, 100, 999, 1000]:
        for kappa in kappas:
            trades = valmora.optimal_execution_trajectory(x, n, kappa)[1]
            sign = math.copysign(1.0, x)
            assert all(sign * (later - earlier) <= slack for earlier, later in zip(trades, trades[1:])), (n, kappa)


@pytest.mark.parametrize("n", [1, 10, 1000])
@pytest.mark.parametrize("x", [100.0, -1e6 / 3])
def test_risk_aversion_1e_15_is_linear_to_within_1e_12(x, n):
    holdings = valmora.optimal_execution_trajectory(x, n, 1e-15)[0]
    assert max(abs(h - (1.0 - j / n) * x) for j, h in enumerate(holdings)) <= 1e-12 * abs(x)


@pytest.mark.parametrize("x, n", [(100.0, 4), (-3.5, 1), (1.0, 6)])
def test_infinite_risk_aversion_sells_everything_at_once(x, n):
    assert same(valmora.optimal_execution_trajectory(x, n, INF), ([x] + [0.0] * n, [x] + [0.0] * (n - 1)))


@pytest.mark.parametrize(
    "n, kappa, message",
    [(0, -1.0, "periods must be positive"), (0, 1.0, "periods must be positive"),
     (3, -0.5, "risk_aversion must be non-negative"), (1, -INF, "risk_aversion must be non-negative")],
)
def test_trajectory_validation(n, kappa, message):
    with pytest.raises(ValueError) as e:
        valmora.optimal_execution_trajectory(100, n, kappa)
    assert e.value.args == (message,)
