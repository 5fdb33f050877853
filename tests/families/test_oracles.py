"""Every function against its slow oracle, bit for bit, on its fingerprint inputs: lists and buffers,
long enough to run the vector kernels and their scalar tails; and on its NaN cases, NaN bits and all."""

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
    # Where two NaNs meet, the first operand's comes out: an operation whose operands run in
    # another order than the oracle's, at any kernel level, changes the NaN's sign or payload.
    for label, args in record.nans():
        result = record.function(*args)
        assert same(result, record.oracle(*args), nan_bits=True), label
        assert record.invariant(args, result), label
