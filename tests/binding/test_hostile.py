"""Huge sizes, lying lengths, cyclic and deep sequences: each gives its documented result or a clear
exception, for every parameter of every function.

Each function's cases run in a fresh interpreter, so a crash fails that function alone.
"""

import pytest

from signatures import RECORDS

CASES = r"""
import os
import numpy as np
import valmora
from hostile import Index, Liar
from signatures import RECORDS, same

cyclic = [1.0]
cyclic.append(cyclic)
deep = [1.0]
for _ in range(100000):
    deep = [deep]
record = RECORDS[NAME]
# Under AddressSanitizer a failed allocation aborts instead of throwing.
allocation_fails = "libasan" not in os.environ.get("LD_PRELOAD", "")


def outcome(i, value):
    try:
        return record.function(*record.replaced(i, value))
    except (TypeError, ValueError, OverflowError, MemoryError, RecursionError) as exc:
        return type(exc).__name__


def lying(value):
    # Every list, rows too, claims 2**62 items: a length is only a hint, the items are what count.
    return Liar([lying(v) for v in value]) if isinstance(value, list) else value


for i, (param, kind) in enumerate(record.params):
    if kind in ("vector", "matrix"):
        # Self-referential and deeply nested sequences are refused; nothing recurses.
        assert outcome(i, cyclic) == outcome(i, deep) == "TypeError", param
        assert same(outcome(i, lying(record.call[i])), record.function(*record.call)), param
    if kind == "vector" and allocation_fails:
        # A broadcast view that claims 2**40 values without holding them: its copy or the result cannot
        # be allocated, or (with other series) its length may be found to disagree first.
        alone = sum(k in ("vector", "matrix") for _, k in record.params) == 1
        assert outcome(i, np.broadcast_to(np.ones(1), (2**40,))) in ("MemoryError",) + ("ValueError",) * (not alone)
    if kind == "size" and (allocation_fails or param not in record.counts):
        # A size counting the result's entries cannot be allocated near 2**64; any other size needs no
        # storage of its own (a table of 2**31 bins would be 16 GiB) and gives what a size past the data gives.
        far = "MemoryError" if param in record.counts else outcome(i, 2**20)
        for n in (2**64 - 1, 2**63, 2**62, Index(2**64 - 1), np.uint64(2**64 - 1), *[2**31] * (far != "MemoryError")):
            assert same(outcome(i, n), far), (param, n, outcome(i, n), far)
print("ok")
"""


@pytest.mark.parametrize("name", list(RECORDS))
def test_huge_lying_cyclic_and_deep_arguments(run_isolated, name):
    assert run_isolated(f"NAME = {name!r}\n" + CASES) == "ok\n"


def test_example_refuses_a_deep_value(run_isolated):
    assert run_isolated(CASES.split("record =")[0] + "\ntry: valmora.Example(deep)\nexcept TypeError: print('ok')") == "ok\n"


@pytest.mark.skipif("libasan" in __import__("os").environ.get("LD_PRELOAD", ""), reason="the sanitizer's shadow memory")
def test_ragged_rows_after_a_long_first_row_are_a_shape_error(run_isolated):
    # 40,000 floats in all: room for rows x the first row's length would be 3.2 GB.
    out = run_isolated("""
        import resource, valmora
        resource.setrlimit(resource.RLIMIT_AS, (2 * 2**30, 2 * 2**30))
        rows = [[0.5] * 20_000] + [[1.0]] * 19_999
        for call in (lambda: valmora.sample_covariance_matrix(rows, 1.0), lambda: valmora.covariance_to_correlation(rows),
                     lambda: valmora.sample_covariance_matrix(tuple(map(tuple, rows)), 1.0)):
            try:
                call()
            except ValueError as e:
                print(e)
    """)
    assert out.split("\n")[:3] == ["matrix rows must have equal length"] * 3
