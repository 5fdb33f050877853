import math
import random

import pytest

import valmora
from slow import NAN, bits, discretise, transfer_entropy as oracle

SOURCE = [0.1, 0.9, 0.2, 0.8, 0.7, 0.3, 0.4, 0.6, 0.5, 0.95]
TARGET = [0.5, 0.1, 0.9, 0.2, 0.8, 0.7, 0.3, 0.4, 0.6, 0.5]


@pytest.mark.parametrize(
    "source, target, bins, lag, expected",
    [
        (SOURCE, TARGET, 2, 1, 0.7144457864046916),
        (TARGET, SOURCE, 2, 1, 0.0),
        (SOURCE, TARGET, 3, 1, 1.072438280744469),
        (SOURCE, TARGET, 2, 2, 0.1928302955671165),
        ([3.0] * 10, TARGET, 4, 1, 0.0),
        (SOURCE, [3.0] * 10, 4, 1, 0.0),
    ],
)
def test_worked_values(source, target, bins, lag, expected):
    assert bits(valmora.transfer_entropy(source, target, bins, lag)) == bits(expected)


# The worked symbols of short series (ties on the upper side, a NaN at the bottom, more bins than
# values), which the oracle is pinned to; the module must give the estimate they make, as a
# source and as a target.
@pytest.mark.parametrize(
    "values, bins, symbols",
    [
        ([5, 1, 4, 2, 3], 2, [1, 0, 1, 0, 1]),
        ([5, 1, 4, 2, 3], 3, [2, 0, 2, 1, 1]),
        ([3, 1, 2], 4, [3, 0, 2]),
        ([2.0, 2.0, 2.0], 5, [4, 4, 4]),
        ([NAN, 1.0, 2.0], 2, [0, 0, 1]),
        (SOURCE, 2, [0, 1, 0, 1, 1, 0, 0, 1, 0, 1]),
        (TARGET, 2, [1, 0, 1, 0, 1, 1, 0, 0, 1, 1]),
    ],
)
def test_discretisation_examples(values, bins, symbols):
    assert discretise(values, bins) == symbols
    other = [float(i % 3) for i in range(len(values))]
    for source, target in ((values, other), (other, values)):
        assert bits(valmora.transfer_entropy(source, target, bins, 1)) == bits(oracle(source, target, bins, 1))


@pytest.mark.parametrize(
    "source, target, bins, lag, message",
    [
        ([1, 2], [1, 2, 3], 2, 0, "lag must be >= 1"),
        ([1, 2, 3, 4], [1, 2, 3, 4], 0, 0, "lag must be >= 1"),
        ([1, 2, 3], [1, 2], 2, 1, "source and target must have the same length"),
        ([], [1.0], 0, 1, "source and target must have the same length"),
        ([1, 2, 3], [3, 1, 2], 0, 1, "bins must be >= 2"),
        ([1, 2, 3], [3, 1, 2], 1, 1, "bins must be >= 2"),
    ],
)
def test_validation_order(source, target, bins, lag, message):
    with pytest.raises(ValueError) as info:
        valmora.transfer_entropy(source, target, bins, lag)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "source, target, bins, lag",
    [
        ([1, 2], [2, 1], 0, 1),
        ([], [], 0, 1),
        ([1.0], [1.0], 1, 1),
        ([1, 2, 3, 4], [4, 3, 2, 1], 0, 3),
        ([1, 2, 3, 4], [4, 3, 2, 1], 0, 2**64 - 1),
    ],
)
def test_short_series_return_zero_without_checking_bins(source, target, bins, lag):
    assert bits(valmora.transfer_entropy(source, target, bins, lag)) == bits(0.0)


def series(rng, n, kind):
    if kind == "smooth":
        return [rng.gauss(0.0, 1.0) for _ in range(n)]
    if kind == "ties":
        return [float(rng.randint(0, 3)) for _ in range(n)]
    if kind == "narrow":  # every value in one bucket of the leading key bits
        return [1.0 + rng.random() * 2.0**-20 for _ in range(n)]
    # NaNs of either sign, infinities, signed zeros and subnormals among ties: the sort must stay
    # well defined, and -0.0 reaches a threshold 0.0 as 0.0 does.
    pool = [NAN, -NAN, math.inf, -math.inf, 0.0, -0.0, 1.0, 2.0, 5e-324, -5e-324, 2.0**-1030, -(2.0**-1040)]
    return [rng.choice(pool) if rng.random() < 0.5 else rng.gauss(0.0, 1.0) for _ in range(n)]


@pytest.mark.parametrize("kind", ["smooth", "ties", "awkward", "narrow"])
@pytest.mark.parametrize("n", [3, 4, 11, 400, 9_000])
def test_matches_counting_oracle(kind, n):
    # The longest series select their thresholds bucket by bucket on the leading key bits.
    rng = random.Random(n)
    source, target = series(rng, n, kind), series(rng, n, kind)
    # A follower series so that the flow is not always clamped to zero.
    target = [source[i - 1] if i and rng.random() < 0.7 else v for i, v in enumerate(target)]
    long = n > 1000  # the oracle is slow: fewer bin counts and lags for the longest
    for bins in (8, 70) if long else (2, 3, 8, n + 3, 1000):
        for lag in (1,) if long else (1, 2, 5):
            got = valmora.transfer_entropy(source, target, bins, lag)
            assert bits(got) == bits(oracle(source, target, bins, lag)), (bins, lag)


def test_all_nan_series():
    assert valmora.transfer_entropy([NAN] * 20, [NAN] * 20, 4, 1) == 0.0
