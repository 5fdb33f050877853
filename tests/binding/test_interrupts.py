"""Ctrl-C ends a long call within about a tenth of a second, and a handler that returns leaves
the result exactly as an uninterrupted run gives it.

Each case runs in a fresh interpreter; SIGINT comes from another process, since the call holds the
interpreter and no Python thread of ours could run to send it.
"""

import os

import pytest

# Instrumented code runs several times slower between polls, and frees more slowly.
LIMIT = 3.0 if "libasan" in os.environ.get("LD_PRELOAD", "") else 1.0

PRELUDE = r"""
import os, signal, subprocess, sys, time
import numpy as np
import valmora

def send_sigint(after, pid=os.getpid()):
    subprocess.Popen(["sh", "-c", f"sleep {after}; kill -INT {pid}"])

rng = np.random.default_rng(0)
"""

# (setup, call): each call runs for several seconds uninterrupted.
LONG_CALLS = {
    "rolling_correlation": ("x = rng.standard_normal(20_000_000); y = x[::-1].copy()",
                            "valmora.rolling_correlation(x, y, 1000)"),
    "ledoit_wolf": ("d = rng.standard_normal((40000, 400))", "valmora.ledoit_wolf_covariance_matrix(d, 1.0)"),
    "twap_schedule": ("", "valmora.twap_schedule(1.0, 150_000_000)"),
    "transfer_entropy": ("s = rng.standard_normal(30_000_000); t = np.roll(s, 1)",
                         "valmora.transfer_entropy(s, t, 5000, 1)"),
    "sample_covariance_matrix": ("d = rng.standard_normal((200_000, 400))", "valmora.sample_covariance_matrix(d, 1.0)"),
    "vwap_schedule of a huge range": ("", "valmora.vwap_schedule(1.0, range(2**62))"),
}


@pytest.mark.parametrize("case", list(LONG_CALLS))
def test_sigint_ends_a_long_call_promptly(run_isolated, case):
    setup, call = LONG_CALLS[case]
    out = run_isolated(PRELUDE + setup + f"""
send_sigint(0.5)
start = time.perf_counter()
try:
    {call}
except KeyboardInterrupt:
    print(f"{{time.perf_counter() - start:.3f}}")
else:
    print("finished")
""", timeout=300)
    assert out.strip() != "finished", "the call ended before the signal came: make it longer"
    assert float(out) - 0.5 < LIMIT, f"KeyboardInterrupt {float(out) - 0.5:.2f} s after the signal"


def test_handler_that_returns_leaves_the_result_unchanged(run_isolated):
    out = run_isolated(PRELUDE + r"""
x = rng.standard_normal(1_000_000); y = np.sin(x)
expected = valmora.rolling_correlation(x, y, 400)
seen = []
signal.signal(signal.SIGINT, lambda *a: seen.append(1))
send_sigint(0.2); send_sigint(0.4)
start = time.perf_counter()
got = valmora.rolling_correlation(x, y, 400)
while len(seen) < 2 and time.perf_counter() - start < 10:
    time.sleep(0.01)
print(len(seen), np.array_equal(np.array(got), np.array(expected), equal_nan=True))
""")
    assert out.split() == ["2", "True"]


def test_other_threads_are_never_interrupted(run_isolated):
    out = run_isolated(PRELUDE + r"""
import threading
x = rng.standard_normal(3_000_000); y = np.cos(x)
expected = valmora.rolling_correlation(x, y, 300)
result = []
worker = threading.Thread(target=lambda: result.append(valmora.rolling_correlation(x, y, 300)))
send_sigint(0.3)
try:
    worker.start()
    while worker.is_alive():
        worker.join(0.01)
    print("no interrupt")
except KeyboardInterrupt:
    worker.join()
    print("main interrupted", result[0] == expected or np.array_equal(result[0], expected, equal_nan=True))
""")
    assert out.strip() == "main interrupted True"
