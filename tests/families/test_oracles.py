"""Every function against its slow oracle, bit for bit, on its fingerprint inputs: lists and buffers,
long enough to run the vector kernels and their scalar tails; and where NaNs of several payloads
and signs meet, their bits too."""

import math
import random

import pytest

from signatures import RECORDS, fingerprint_inputs, same
from slow import bits, quiet_nan


@pytest.fixture(scope="module")
def inputs():
    return fingerprint_inputs()


def test_fingerprint_calls_match_the_oracle_and_the_invariant(function, inputs):
    record = RECORDS[function]
    for label, args in [("valid", record.call)] + record.fingerprint(inputs):
        result = record.function(*args)
        assert same(result, record.oracle(*args)), label
        assert record.invariant(args, result), label


def nan_series(seed, n):
    """Mostly ordinary values, with NaNs of four payloads and both signs and infinities between."""
    rng = random.Random(seed)
    specials = [quiet_nan(1), quiet_nan(2, negative=True), quiet_nan(3), quiet_nan(4, negative=True), math.inf,
                -math.inf]
    return [rng.choice(specials) if rng.random() < 0.03 else rng.gauss(0.0, 1.0) for _ in range(n)]


# Where two NaNs meet, the first operand's wins; a reordered operation in a kernel or level shows.
NAN_CASES = [("rolling_correlation", (nan_series(seed, 203), nan_series(seed + 50, 203), window))
             for seed in range(3) for window in (2, 7, 20)]


@pytest.mark.parametrize("name, args", NAN_CASES, ids=[f"{c[0]}-{i}" for i, c in enumerate(NAN_CASES)])
def test_nan_payloads_and_signs_match_the_oracle(name, args):
    got, want = RECORDS[name].function(*args), RECORDS[name].oracle(*args)
    assert [bits(v) for v in got] == [bits(v) for v in want]
