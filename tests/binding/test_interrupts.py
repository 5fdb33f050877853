"""Every signal handler runs where a long call polls for a stop: one that raises ends the call at
once, one that returns lets it finish with the undisturbed bits, and one that moves an array the
call reads ends it with an error instead of a read.

Each case runs in a fresh interpreter. Promptness is measured in the child's CPU time, which
other processes on a busy machine do not inflate: a signal delivered a wall-clock time T after the
call began finds at most T of CPU time spent, so a handler that runs soon after in CPU time ran
where the call polled, long before the call would have finished.
"""

import os
import subprocess
import sys

import pytest

import valmora
from signatures import RECORDS

# CPU seconds allowed between a signal and its handler, and until the call has given everything
# back. Instrumented code runs several times slower between polls and frees more slowly; a debug
# interpreter checks every reference it drops.
SLOWER = 8.0 if hasattr(sys, "gettotalrefcount") else 4.0 if "libasan" in os.environ.get("LD_PRELOAD", "") else 1.0
LIMIT = 0.5 * SLOWER

PRELUDE = r"""
import os, signal, subprocess, sys, time
import numpy as np
import valmora

cpu = time.process_time

# Started with SIGINT ignored (a shell script's background job), an interpreter keeps it ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)

def send(signum, after, pid=os.getpid()):
    subprocess.Popen(["sh", "-c", f"sleep {after}; kill -{signum} {pid}"])

rng = np.random.default_rng(0)
"""

# (setup, call): each call runs for seconds uninterrupted; every function's long calls.
LONG_CALLS = {f"{name} {label}".strip(): long for name, record in RECORDS.items() for label, long in record.long.items()}
LONG_CALLS["labels differing only at the end, compared one by one"] = (
    "import pandas as pd; n = 20_000_000; x = pd.Series(np.zeros(n), index=pd.Index(np.arange(n))); "
    "y = pd.Series(np.zeros(n), index=pd.Index(np.r_[np.arange(n - 1), -1]))",
    "valmora.rolling_correlation(x, y, 5)")

# A signal sent after `AFTER` seconds; the handler notes the CPU time at which it runs and raises.
PROMPT = r"""
AFTER = 0.5
class Stop(Exception):
    pass
ran = []
def handler(*args):
    ran.append(cpu())
    raise Stop
signal.signal(SIGNUM, handler)
SEND
start = cpu()
try:
    CALL
except Stop:
    print(ran[0] - start, cpu() - start)
else:
    print("finished")
"""
SENDERS = {"SIGINT": "send('INT', AFTER)", "SIGTERM": "send('TERM', AFTER)",
           "SIGALRM": "signal.setitimer(signal.ITIMER_REAL, AFTER)"}


def assert_prompt(out):
    assert out.strip() != "finished", "the call ended before the signal came: make it longer"
    handled, ended = map(float, out.split())
    assert handled < 0.5 + LIMIT, f"the handler ran {handled:.2f} s of CPU after the call began"
    assert ended < 0.5 + 2 * LIMIT, f"the call ended {ended:.2f} s of CPU after it began"


@pytest.mark.parametrize("case", list(LONG_CALLS))
def test_a_raising_handler_ends_a_long_call_promptly(run_isolated, case):
    setup, call = LONG_CALLS[case]
    if "import pandas" in setup:
        pytest.importorskip("pandas")
    code = PROMPT.replace("SIGNUM", "signal.SIGINT").replace("SEND", SENDERS["SIGINT"]).replace("CALL", call)
    assert_prompt(run_isolated(PRELUDE + setup + code, timeout=300))


# Any signal's handler runs in place, while arguments convert and while the core computes.
@pytest.mark.parametrize("signum", ["SIGALRM", "SIGTERM"])
@pytest.mark.parametrize("case", ["rolling_correlation", "vwap_schedule of a huge range"])
def test_every_signal_is_answered_in_place(run_isolated, signum, case):
    setup, call = LONG_CALLS[case]
    code = PROMPT.replace("SIGNUM", f"signal.{signum}").replace("SEND", SENDERS[signum]).replace("CALL", call)
    assert_prompt(run_isolated(PRELUDE + setup + code, timeout=300))


def test_handler_that_returns_leaves_the_result_unchanged(run_isolated):
    out = run_isolated(PRELUDE + r"""
x = rng.standard_normal(2_000_000); y = np.sin(x)
expected = valmora.rolling_correlation(x, y, 1000)
inside, seen = [False], []
signal.signal(signal.SIGINT, lambda *a: seen.append(inside[0]))
send("INT", 0.1); send("INT", 0.2)
start = time.perf_counter()
inside[0] = True
got = valmora.rolling_correlation(x, y, 1000)
inside[0] = False
while len(seen) < 2 and time.perf_counter() - start < 30:
    time.sleep(0.01)
print(seen, np.array_equal(np.array(got), np.array(expected), equal_nan=True))
""")
    assert out.strip() == "[True, True] True", "each handler must run inside the call, which then finishes"


# A handler that resizes an array the call reads (numpy lets it while the export is held) ends the
# call with BufferError, found when the handler returns, before the memory is read again: while
# the core computes on a lent array, while an array of another type is copied, and while a later
# list converts after a lent array. A timer of the process's CPU time puts the signal in that
# phase of the call whatever else the machine runs: (setup, call, parameter x is, CPU seconds).
RESIZED = {
    "lent to the core": ("x = rng.standard_normal(20_000_000); y = x[::-1].copy()",
                         "valmora.rolling_correlation(x, y, 1000)", "x", 0.05),
    "copied from an array of another type": ("x = rng.standard_normal(30_000_000).astype(np.float32)",
                                             "valmora.rolling_correlation(x, x, 1000)", "x", 0.005),
    "lent while a later list converts": ("x = rng.standard_normal(30_000_000); rest = x.tolist()",
                                         "valmora.cointegration_spread(x, rest)", "y", 0.02),
}


@pytest.mark.parametrize("case", list(RESIZED))
def test_a_handler_that_resizes_a_read_array_ends_the_call_with_an_error(run_isolated, case):
    setup, call, param, after = RESIZED[case]
    out = run_isolated(PRELUDE + setup + f"""
def handler(*args):
    signal.setitimer(signal.ITIMER_PROF, 0)
    x.resize((1,) * x.ndim, refcheck=False)
signal.signal(signal.SIGPROF, handler)
signal.setitimer(signal.ITIMER_PROF, {after})
try:
    {call}
except BufferError as e:
    print(e)
else:
    print("finished", x.shape)
""", timeout=300)
    assert out.strip() == f"argument '{param}': the array was resized while the call read it"


# A handler that walks every object the collector knows and reads each list: the results being
# built, their slots still empty, must never be among them.
def test_handlers_never_see_a_result_with_empty_slots(run_isolated):
    out = run_isolated(PRELUDE + r"""
import gc
walks, busy = [0], [False]
def handler(*args):
    if busy[0]:  # the timer fires again while a walk goes on
        return
    busy[0] = True
    for o in gc.get_objects():
        if type(o) is list:
            for item in o:
                pass
    walks[0] += 1
    busy[0] = False
signal.signal(signal.SIGALRM, handler)
x = rng.standard_normal(3_000_000)
calls = [lambda: valmora.rolling_correlation(x, x[::-1].copy(), 100),
         lambda: valmora.optimal_execution_trajectory(1.0, 3_000_000, 1.0),
         lambda: valmora.sample_covariance_matrix(rng.standard_normal((3000, 700)), 1.0),
         lambda: valmora.cointegration_spread(x, x[::-1].copy())]
signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
for call in calls:
    call()
signal.setitimer(signal.ITIMER_REAL, 0)
print(walks[0] > 0)
""", timeout=300)
    assert out.strip() == "True"


# (setup, call) run again and again with a signal at several points of the call and a handler
# that raises, returns, or calls the module itself: no object, row reference or block may be
# left behind, a completed call gives the undisturbed bits, and an argument that can be read only
# once (a one-shot iterator, an __array__ with side effects) is read once.
ANYWHERE_CALLS = {
    "trajectory tuple": ("", "valmora.optimal_execution_trajectory(1.0, 1_000_000, 0.0)"),
    "cointegration tuple": ("y = rng.standard_normal(1_000_000); x = y[::-1].tolist()",
                            "valmora.cointegration_spread(y, x)"),
    "factor risk tuple": ("w = rng.random(6000).tolist(); l = rng.random((6000, 500)); c = np.eye(500)",
                          "valmora.factor_risk_decomposition(w, l, c, w)"),
    "matrix of array rows": ("rows = list(rng.standard_normal((400_000, 3)))",
                             "valmora.sample_covariance_matrix(rows, 1.0)"),
    "one-shot sequence": ("volumes = rng.random(1_000_000).tolist()",
                          "valmora.vwap_schedule(1.0, OneShot(volumes))"),
    "array offered once": ("a = rng.standard_normal(300_000); b = np.sin(a)",
                           "valmora.rolling_correlation(Offers(a), Offers(b), 800)"),
}

ANYWHERE_PRELUDE = PRELUDE + r"""
import array, gc
from collections.abc import Sequence

class OneShot(Sequence):
    # A sequence whose __iter__ hands out one shared iterator: it can be read only once.
    def __init__(self, values):
        self.values, self.it = values, iter(values)
    def __len__(self):
        return len(self.values)
    def __getitem__(self, i):
        return self.values[i]
    def __iter__(self):
        return self.it

offered = [0]
class Offers:
    def __init__(self, value):
        self.value, self.calls = value, 0
    def __array__(self, *args, **kwargs):
        self.calls += 1
        assert self.calls == 1, "__array__ called again"
        return self.value

seen = [0]
def raises(*args):
    seen[0] += 1
    raise KeyboardInterrupt
def returns(*args):
    seen[0] += 1
def calls_module(*args):
    valmora.twap_schedule(1.0, 3)
    seen[0] += 1

def bits(v):  # compared without numpy, whose own caches would blur the count of blocks
    if isinstance(v, tuple):
        return tuple(bits(x) for x in v)
    if isinstance(v, float):
        return array.array("d", [v]).tobytes()
    if v and isinstance(v[0], list):
        return [bits(r) for r in v]
    return array.array("d", v).tobytes()

def call():
    return CALL

def trials(undisturbed):
    for handler in (raises, returns, calls_module):
        signal.signal(signal.SIGINT, handler)
        for fraction in (0.05, 0.4, 0.8, 1.1):
            before = seen[0]
            got = sender = None
            try:
                try:
                    sender = subprocess.Popen(["sh", "-c", f"sleep {fraction * undisturbed}; kill -INT {os.getpid()}"])
                    got = call()
                finally:
                    deadline = time.perf_counter() + 5
                    while seen[0] == before and time.perf_counter() < deadline:
                        time.sleep(0.002)
            except KeyboardInterrupt:
                assert handler is raises
            if sender is not None:
                sender.wait()
            if got is not None:
                assert bits(got) == expected, (handler.__name__, fraction)
            del got
    signal.signal(signal.SIGINT, signal.default_int_handler)

def held():
    gc.collect()
    rows_held = sum(sys.getrefcount(r) for r in globals().get("rows", ()))
    return sys.getallocatedblocks(), rows_held

start = time.perf_counter()
expected = bits(call())
undisturbed = time.perf_counter() - start
trials(undisturbed)
first = held()
trials(undisturbed)
print((first, held()))
"""


@pytest.mark.parametrize("case", list(ANYWHERE_CALLS))
def test_a_handler_anywhere_in_a_call_loses_and_leaks_nothing(run_isolated, case):
    setup, call = ANYWHERE_CALLS[case]
    out = run_isolated(ANYWHERE_PRELUDE.replace("CALL", call).replace("seen = [0]", setup + "\nseen = [0]"),
                       timeout=300)
    (blocks, rows), (blocks_after, rows_after) = eval(out)
    assert rows_after == rows, "matrix rows keep references"
    # A lost result list is a million blocks; the interpreter's own caches move by tens.
    assert blocks_after - blocks < 256, f"{blocks_after - blocks} blocks left behind"


def test_a_storm_of_ignored_signals_cannot_keep_a_call_from_finishing(run_isolated):
    out = run_isolated(PRELUDE + r"""
x = rng.standard_normal(1_000_000); y = np.cos(x) + x
start = cpu()
expected = valmora.rolling_correlation(x, y, 1500)
undisturbed = cpu() - start
seen = []
signal.signal(signal.SIGINT, lambda *a: seen.append(1))
sender = subprocess.Popen(["sh", "-c", f"while kill -INT {os.getpid()}; do sleep 0.01; done"])
time.sleep(0.3)
start = cpu()
got = valmora.rolling_correlation(x, y, 1500)
took = cpu() - start
signal.signal(signal.SIGINT, signal.SIG_IGN)
sender.kill()
print(took < 2 * undisturbed + 0.5, np.array_equal(got, expected, equal_nan=True), len(seen) > 0, took, undisturbed)
""", timeout=300)
    assert out.split()[:3] == ["True", "True", "True"], out


def test_first_use_under_a_periodic_timer_sees_no_half_imported_module(tmp_path):
    # collections.abc is not loaded in an interpreter without site; a first conversion failure
    # must not import it while a timer's handler calls the module.
    code = f"""
import sys
sys.path.insert(0, {os.path.dirname(valmora.__file__)!r})
assert "collections.abc" not in sys.modules
import signal, valmora
messages = set()
def handler(*args):
    try:
        valmora.vwap_schedule(1.0, None)
    except TypeError as e:
        messages.add(str(e))
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
for _ in range(200):
    try:
        valmora.vwap_schedule(1.0, {{}})
    except TypeError as e:
        messages.add(str(e))
signal.setitimer(signal.ITIMER_REAL, 0)
print(sorted(messages))
"""
    expected = str(sorted(["argument 'volume_curve': 'None' is not an instance of 'Sequence'",
                           "argument 'volume_curve': 'dict' object is not an instance of 'Sequence'"]))
    for _ in range(10):
        proc = subprocess.run([sys.executable, "-S", "-c", code], capture_output=True, text=True, timeout=60)
        assert proc.returncode == 0 and proc.stdout.strip() == expected, proc.stderr


def test_a_handler_exception_while_labels_are_read_ends_the_call_with_it(run_isolated):
    pytest.importorskip("pandas")
    out = run_isolated(PRELUDE + r"""
import pandas as pd
names = [f"A{i}" for i in range(300)]
factors = [f"F{k}" for k in range(20)]
w = pd.Series(rng.random(300), index=names)
loadings = pd.DataFrame(rng.random((300, 20)), index=names, columns=factors)
cov = pd.DataFrame(np.eye(20), index=factors, columns=factors)
specific = pd.Series(rng.random(300), index=names)
expected = valmora.factor_risk_decomposition(w, loadings, cov, specific)

class Timeout(Exception):
    pass

fired = [False]
def handler(*args):
    fired[0] = True
    raise Timeout

signal.signal(signal.SIGALRM, handler)
outcomes = {}
for i in range(400):
    fired[0] = False
    try:
        signal.setitimer(signal.ITIMER_REAL, 1e-5 * (i % 40 + 1))
        try:
            got = valmora.factor_risk_decomposition(w, loadings, cov, specific)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        key = "lost" if fired[0] else ("ok" if got == expected else "wrong")
    except Timeout:
        key = "raised"
    except Exception as e:
        key = repr(e)
    outcomes[key] = outcomes.get(key, 0) + 1
signal.signal(signal.SIGALRM, signal.SIG_IGN)
print(sorted(outcomes))
""")
    assert set(eval(out)) <= {"ok", "raised"}, out


def test_other_threads_are_never_interrupted(run_isolated):
    out = run_isolated(PRELUDE + r"""
import threading
x = rng.standard_normal(3_000_000); y = np.cos(x)
expected = valmora.rolling_correlation(x, y, 300)
result, span = [], []
# The signal is sent 0.3 s after the worker, about to call, says so.
sent = subprocess.Popen(["sh", "-c", f"read go; sleep 0.3; date +%s.%N; kill -INT {os.getpid()}"],
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
done = threading.Event()  # a join cut short by the signal can take the worker for ended (3.11)
def work():
    span.append(time.time())
    sent.stdin.write("go\n")
    sent.stdin.flush()
    result.append(valmora.rolling_correlation(x, y, 300))
    span.append(time.time())
    done.set()
worker = threading.Thread(target=work)
try:
    worker.start()
    while not done.is_set():
        worker.join(0.01)
    print("no interrupt")
except KeyboardInterrupt:
    done.wait()
    at = float(sent.communicate()[0])
    print("main interrupted", span[0] < at < span[1], np.array_equal(result[0], expected, equal_nan=True))
""")
    assert out.strip() == "main interrupted True True", "the signal came inside the worker's call, which finished"
