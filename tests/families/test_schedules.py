"""TWAP and VWAP schedules."""

import random

import pytest

import valmora
from signatures import same
from slow import vwap_schedule as vwap_oracle

pytestmark = pytest.mark.memcheck

NAN = float("nan")
INF = float("inf")


@pytest.mark.parametrize(
    "quantity, periods, expected",
    [
        (100, 4, [25.0] * 4),
        (10, 3, [10 / 3] * 3),  # no remainder goes to the last slice
        (1, 49, [1 / 49] * 49),
        (-9, 3, [-3.0] * 3),
        (0, 2, [0.0, 0.0]),
        (NAN, 2, [NAN, NAN]),
        (-INF, 1, [-INF]),
    ],
)
def test_twap(quantity, periods, expected):
    assert same(valmora.twap_schedule(quantity, periods), expected)


@pytest.mark.parametrize(
    "quantity, curve, expected",
    [
        (100, [1, 1, 2], [25.0, 25.0, 50.0]),
        (100, [0, 0, 5], [0.0, 0.0, 100.0]),
        (100, [1, NAN], [NAN, NAN]),
        (1, [INF, 1], [NAN, 0.0]),
        (-50, [1, 1], [-25.0, -25.0]),
        (100, [-0.0, 2], [-0.0, 100.0]),
        (0.1, [3, 7], [(3 * 0.1) / 10, (7 * 0.1) / 10]),
    ],
)
def test_vwap(quantity, curve, expected):
    assert same(valmora.vwap_schedule(quantity, curve), expected)


@pytest.mark.parametrize("curve", [[], [0, 0], [-0.0], [5, -1], [-1, 5], [-INF, 1]])
def test_vwap_needs_positive_total_volume(curve):
    with pytest.raises(ValueError) as e:
        valmora.vwap_schedule(100, curve)
    assert str(e.value) == "volume_curve must contain positive total volume"


def test_vwap_matches_left_to_right_oracle():
    rng = random.Random(7)
    curves = [[rng.random() * 10 ** rng.randint(-3, 6) for _ in range(rng.randint(1, 40))] for _ in range(200)]
    # Integers just above 2^40: past 2^53 the total's spacing is 2 or 4, and ties are common.
    curves += [[float((1 << 40) + rng.randint(0, 1023)) for _ in range(1 << 14)], [0.5] * 3000]
    for curve in curves:
        q = rng.uniform(-1e6, 1e6)
        assert same(valmora.vwap_schedule(q, curve), vwap_oracle(q, curve))
