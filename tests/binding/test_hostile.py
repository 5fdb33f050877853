"""Huge and hostile sizes and shapes: each gives its documented result or a clear exception.

Every case runs in a fresh interpreter, so a crash fails that case alone.
"""

import os

import pytest

# Under AddressSanitizer a failed allocation aborts instead of throwing, so the cases that must end
# in MemoryError run only in the ordinary build.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_throwing_allocator = pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator aborts on failure")

PRELUDE = r"""
import math, sys
import valmora

def outcome(f, *args):
    try:
        r = f(*args)
    except (TypeError, ValueError, OverflowError, MemoryError, RecursionError) as exc:
        return type(exc).__name__
    return r

from hostile import Index, Liar

x = [0.1, 0.9, 0.2, 0.8, 0.7, 0.3]
y = [0.5, 0.1, 0.9, 0.2, 0.8, 0.4]
"""

NEAR = [2**64 - 1, 2**64 - 2, 2**63, 2**62]

ALLOCATION = [
    (f"valmora.twap_schedule(1.0, {n})", "MemoryError") for n in NEAR
] + [
    (f"valmora.optimal_execution_trajectory(1.0, {n}, 0.5)", "MemoryError") for n in NEAR
] + [
    ("valmora.twap_schedule(1.0, Index(2**64 - 1))", "MemoryError"),
    ("valmora.optimal_execution_trajectory(1.0, __import__('numpy').uint64(2**64 - 1), 0.0)", "MemoryError"),
    # A broadcast view that claims 2**40 values without holding them.
    ("valmora.vwap_schedule(1.0, __import__('numpy').broadcast_to(__import__('numpy').ones(1), (2**40,)))",
     "MemoryError"),
]

RESULTS = [
    # Sizes near 2**64 that need no storage of their own give the documented values.
    *[(f"valmora.rolling_correlation(x, y, {n})", "[nan, nan, nan, nan, nan, nan]") for n in NEAR],
    *[(f"valmora.transfer_entropy(x, y, 3, {n})", "0.0") for n in NEAR],
    # Thresholds are kept per distinct sorted position, so any bin count fits in memory; with
    # every value in a bin of its own, each state is unique and the estimate is 0.
    *[(f"valmora.transfer_entropy(x, y, {n}, 1)", "0.0") for n in NEAR],
    ("valmora.rolling_correlation(x, y, Index(2**64 - 1))", "[nan, nan, nan, nan, nan, nan]"),
    # One past the unsigned range, and negative: OverflowError, unprefixed.
    *[(f"valmora.{call}", "OverflowError") for call in [
        "twap_schedule(1.0, 2**64)", "rolling_correlation(x, y, 2**64)", "transfer_entropy(x, y, 2**64, 1)",
        "transfer_entropy(x, y, 3, -1)", "optimal_execution_trajectory(1.0, -2**63, 0.5)",
        "twap_schedule(1.0, Index(2**64))", "rolling_correlation(x, y, Index(-1))"]],
    # A length of 2**62 is only a hint: the items are what count.
    ("valmora.vwap_schedule(1.0, Liar([1.0, 3.0]))", "[0.25, 0.75]"),
    ("valmora.cointegration_spread(Liar([3.0, 5.0, 4.0]), Liar([1.0, 2.0, 3.0]))", "(0.5, 3.0, [-0.5, 1.0, -0.5])"),
    ("valmora.sample_covariance_matrix(Liar([Liar([1.0, 2.0]), Liar([3.0, 6.0]), Liar([2.0, 5.0])]), 1.0)",
     "[[1.0, 2.0], [2.0, 4.333333333333333]]"),
    ("valmora.covariance_to_correlation([Liar([4.0, 2.0])] * 1 + [[2.0, 9.0]])", "[[1.0, 0.3333333333333333], [0.3333333333333333, 1.0]]"),
]

SHAPES = [
    # Self-referential and deeply nested sequences are refused with TypeError; nothing recurses.
    ("valmora.vwap_schedule(1.0, cyclic)", "TypeError"),
    ("valmora.sample_covariance_matrix(cyclic, 1.0)", "TypeError"),
    ("valmora.covariance_to_correlation(cyclic)", "TypeError"),
    ("valmora.factor_risk_decomposition(cyclic, cyclic, cyclic, cyclic)", "TypeError"),
    ("valmora.vwap_schedule(1.0, deep)", "TypeError"),
    ("valmora.sample_covariance_matrix(deep, 1.0)", "TypeError"),
    ("valmora.correlation_to_covariance(deep, deep)", "TypeError"),
    ("valmora.Example(deep)", "TypeError"),
]
SHAPES_PRELUDE = r"""
cyclic = [1.0]
cyclic.append(cyclic)
deep = [1.0]
for _ in range(100000):
    deep = [deep]
"""


def check(run_isolated, call, expected, extra=""):
    out = run_isolated(PRELUDE + extra + f"\nprint(repr(outcome(lambda: {call})))\n")
    assert out.strip() == repr(expected) if expected in ("MemoryError", "TypeError", "OverflowError") \
        else out.strip() == expected


@needs_throwing_allocator
@pytest.mark.parametrize("call, expected", ALLOCATION, ids=[c for c, _ in ALLOCATION])
def test_unallocatable_size_raises_memory_error(run_isolated, call, expected):
    check(run_isolated, call, expected)


@pytest.mark.parametrize("call, expected", RESULTS, ids=[c for c, _ in RESULTS])
def test_huge_size_or_length_gives_documented_result(run_isolated, call, expected):
    check(run_isolated, call, expected)


@pytest.mark.parametrize("call, expected", SHAPES, ids=[c for c, _ in SHAPES])
def test_cyclic_or_deep_sequence_raises_type_error(run_isolated, call, expected):
    check(run_isolated, call, expected, SHAPES_PRELUDE)
