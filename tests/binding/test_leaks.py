"""No call leaks: neither the process's memory nor the reference counts of its arguments grow.

The calls run in a fresh interpreter so that the memory figures are the module's alone.
"""

import json
import os
import re
import textwrap

import pytest

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

# Every success and failure path, each case an argument tuple built once and reused for every call.
CASES = r"""
import gc, json, os, sys
import numpy as np
import valmora
from hostile import Boom, Liar, RaisesOnFloat
from signatures import RECORDS

sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")
ragged = [[1.0, 2.0], [1.0]]  # ragged rows, or a row where a number goes
cases = []  # (callable, args, kwargs), each built once and reused for every call
for r in RECORDS.values():
    cases += [(r.function, r.call, {}), (r.function, (), dict(zip([p for p, _ in r.params], r.call))),
              (r.function, r.call + (1,), {}), (r.function, r.call[:1], {"nope": 1}),
              (r.function, tuple(np.asarray(a, dtype=float) if isinstance(a, list) else a for a in r.call), {})]
    for i, (param, kind) in enumerate(r.params):
        bad = {"real": ["text", RaisesOnFloat(Boom)], "size": [0, -1, "text"],
               "vector": ["text", [], [1.0, RaisesOnFloat(Boom)], Liar([0.0, 1.0, 2.0], Boom), ragged]}
        if param in r.counts and not sanitized:  # under AddressSanitizer a failed allocation aborts
            bad["size"].append(2**62)
        cases += [(r.function, r.replaced(i, v), {}) for v in bad.get(kind, bad["vector"])]
cases += [(valmora.Example, args, kwargs) for args, kwargs in [
    (("text",), {}), ((), {"value": "text"}), ((5,), {}), (("\ud800",), {}), (("a", "b"), {})]]


def call(f, args, kwargs):
    try:
        r = f(*args, **kwargs)
        if isinstance(r, valmora.Example):
            str(r), repr(r)
    except (TypeError, ValueError, OverflowError, MemoryError, UnicodeEncodeError, Boom):
        pass


def run(rounds):
    calls = 0
    for _ in range(rounds):
        for f, args, kwargs in cases:
            call(f, args, kwargs)
            calls += 1
    return calls


def objects(x, seen):
    # Every argument and everything inside it, by identity.
    if id(x) not in seen:
        seen[id(x)] = x
        for y in x.values() if isinstance(x, dict) else x if isinstance(x, (list, tuple)) else []:
            objects(y, seen)


seen = {}


def refcounts():
    for _, args, kwargs in cases:
        objects(args, seen)
        objects(kwargs, seen)
    # Small ints and singletons are shared with the whole interpreter; their counts move with it.
    return {k: sys.getrefcount(v) for k, v in seen.items() if not isinstance(v, (int, type(None)))}


# Objects that 3.12 and later may keep immortal and hand out without counting: the module must
# neither release a reference it was not given nor keep one it took. Only such a mistake moves
# the count of one immortal here (above 2**31; 3.11's static objects start at 10**9, counted).
SHARED = [(), None, True, False, -1, 0, 1, 2, 3, 4, 252, "", "a", "x", "text", "__name__", "__qualname__",
          "__array__", "ndim", "Sequence", float, int, list, tuple, dict, str, TypeError, ValueError, OverflowError]


def immortal_counts():
    return {i: sys.getrefcount(v) for i, v in enumerate(SHARED) if sys.getrefcount(v) > 2**31}


def shared_drift(repeats):
    # Read after each case: passing such an object on (an empty argument tuple) counts it back up
    # to where it started, which would hide a drift over a whole mixed run.
    start, moved = immortal_counts(), []
    for f, args, kwargs in cases:
        for _ in range(repeats):
            call(f, args, kwargs)
        now = immortal_counts()
        moved += [f"{getattr(f, '__name__', f)}{args!r:.60} {kwargs!r:.40}: {SHARED[i]!r} {start[i]} -> {now[i]}"
                  for i in start if now[i] != start[i]]
        start = now
    return moved


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
"""


def test_many_calls_grow_neither_memory_nor_reference_counts(run_isolated):
    target = int(os.environ.get("VALMORA_LEAK_CALLS", "60000" if SANITIZED else "300000"))
    out = run_isolated(CASES + textwrap.dedent(f"""
        run(50)  # warm up: free lists, caches and the create-once objects
        gc.collect()
        counts_before = refcounts()
        rss_before = rss()
        rounds = max(1, {target} // len(cases))
        calls = run(rounds)
        gc.collect()
        rss_after = rss()
        counts_after = refcounts()
        changed = {{k: (counts_before[k], counts_after[k]) for k in counts_before if counts_before[k] != counts_after[k]}}
        print(json.dumps({{"calls": calls, "cases": len(cases), "rss_before": rss_before, "rss_after": rss_after,
                          "changed": len(changed), "detail": [repr((seen[k], v)) for k, v in changed.items()],
                          "shared": shared_drift(100)}}))
    """), timeout=600)
    figures = json.loads(out.strip().splitlines()[-1])
    print(f"\nleak check: {figures['calls']} calls over {figures['cases']} cases, resident memory "
          f"{figures['rss_before'] / 2**20:.1f} MiB before, {figures['rss_after'] / 2**20:.1f} MiB after")
    assert figures["calls"] >= min(target, 50000)
    assert figures["changed"] == 0, figures["detail"]
    assert not figures["shared"], figures["shared"][:5]
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory on purpose
        # A leak of even one float per call would be 7 MB here.
        assert figures["rss_after"] - figures["rss_before"] < 2 * 2**20


@pytest.mark.skipif(not SANITIZED, reason="needs the AddressSanitizer runtime preloaded")
def test_leak_sanitizer_finds_nothing_allocated_by_valmora(run_isolated):
    # The interpreter leaves its own objects at exit; only reports whose allocation passed through
    # valmora count. Every object goes through malloc so that each is tracked on its own.
    stderr = run_isolated(CASES + "run(300)\n", 600, {
        "PYTHONMALLOC": "malloc",
        "ASAN_OPTIONS": "detect_leaks=1:allocator_may_return_null=1:fast_unwind_on_malloc=0:malloc_context_size=40",
        "LSAN_OPTIONS": "exitcode=0",
    }, output="stderr")
    reports = re.split(r"\n(?=(?:Direct|Indirect) leak of)", stderr)
    ours = [r for r in reports if re.match(r"(Direct|Indirect) leak of", r) and "valmora" in r]
    assert not ours, "\n\n".join(ours[:5])
