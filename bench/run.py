"""valmora against the peer a user would pick instead, every function, in one run.

    python bench/run.py              # full: more rounds
    python bench/run.py --quick      # a few minutes
    python bench/run.py --markdown bench.md
    python bench/run.py --only 'ledoit_wolf.* 1000x1500'   # the rows whose "function size" matches
    python bench/run.py --thread-time ...   # the calling thread's time, for a machine busy with other work

Each of the thirteen functions runs at a small and a large size on Python lists and on numpy
arrays, and its peer runs on the same data in the same process. Times are wall clock, the minimum
over rounds, and every round times valmora and its peer one after the other: on a shared machine a
slow spell then touches both sides. The peer is timed three ways: returning its own result (an
array, a Series) with its BLAS pinned to one thread (threadpoolctl), as valmora runs on one
thread; the same plus `.tolist()`, as valmora returns lists; and its own result with the threads
its BLAS takes by default. The ratios are valmora / peer (below 1: valmora is faster).

Also: the products per cycle of the exact cross-product behind the covariance estimators (from
the time that n more observations add, so that the result list does not count), the per-call
cost of tiny calls beside a comparable built-in, result lists of 1M distinct floats beside
ndarray.tolist() and of 1M equal slices beside np.full(...).tolist(), the float64 conversion cost per
element, two 100k-float lists read and the tiny twap_schedule call beside the same work in C against
the same limited API (when a C compiler is at hand), the Ledoit-Wolf floor (one bare
left-to-right sum over the same n*p*p terms, compiled with the project's flags into a small shared
library, when a C compiler is at hand), and a scaling table: every function on arrays at three
sizes a factor of 4 apart, in nanoseconds per unit of work, with the peak memory of a call above
its inputs at the two larger sizes; and calls that are mostly one lane kernel at every kernel level
this processor has (VALMORA_KERNEL_LEVEL), side by side.
"""

import argparse
import contextlib
import ctypes
import gc
import math
import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

try:
    from threadpoolctl import threadpool_info, threadpool_limits
except ImportError:  # peers then run with their default threads only
    threadpool_info = threadpool_limits = None

import valmora

QUICK = False
ONLY = None  # with --only, the pattern that the rows to run match
CLOCK = time.perf_counter  # time.thread_time with --thread-time


def wanted(function, size):
    return ONLY is None or ONLY.search(f"{function} {size}") is not None


def best(fn, min_time=None, repeat=None, clock=time.perf_counter):
    """Seconds per call: the minimum over repeats of batches long enough to time."""
    min_time = min_time or (0.01 if QUICK else 0.05)
    repeat = repeat or (3 if QUICK else 7)
    number = 1
    while True:
        start = clock()
        for _ in range(number):
            fn()
        elapsed = clock() - start
        if elapsed >= min_time or number >= 1 << 20:
            break
        number *= 2 if elapsed > min_time / 10 else 10
    times = [elapsed / number]
    for _ in range(repeat - 1):
        start = clock()
        for _ in range(number):
            fn()
        times.append((clock() - start) / number)
    return min(times)


# ---- numpy peers ----

def np_cov_to_corr(c):
    s = np.sqrt(np.maximum(np.diag(c), 0.0))
    d = np.outer(s, s)
    with np.errstate(divide="ignore", invalid="ignore"):
        r = np.where(d > 0.0, c / d, 0.0)
    r = np.clip(r, -1.0, 1.0)
    np.fill_diagonal(r, 1.0)
    return r


def np_corr_to_cov(rho, vol):
    return (rho * vol[:, None]) * vol[None, :]


def np_twap(q, n):
    return np.full(n, q / n)


def np_vwap(q, v):
    return v * q / v.sum()


def np_impact(q, vol, adv, spread, eta, gamma):
    size = np.abs(q)
    part = size / adv
    spread_cost = 0.5 * (size * spread)
    temporary = part * (vol * (eta * size))
    permanent = np.sqrt(part) * ((gamma * size) * vol)
    return float(spread_cost), float(temporary), float(permanent), float((temporary + spread_cost) + permanent)


def np_trajectory(q, n, k):
    j = np.arange(n + 1) / n
    e = np.exp(-k)
    h = ((np.exp(j * -k) - e) * q) / (1.0 - e)
    h[-1] = 0.0
    return h, h[:-1] - h[1:]


def np_risk(w, L, F, s):
    b = L.T @ w
    v = F @ b
    c = b * v
    f = c.sum()
    sp = (w * w) @ s
    return f + sp, f, sp, c


def np_spread(y, x):
    design = np.column_stack([x, np.ones_like(x)])
    (beta, alpha), *_ = np.linalg.lstsq(design, y, rcond=None)
    e = y - (x * beta + alpha)
    return beta, alpha, e - e.mean()


def np_discretise(values, bins):
    ordered = np.sort(values, kind="stable")  # NaN last
    m = len(values)
    k = np.arange(1, bins, dtype=np.float64)
    thresholds = ordered[np.floor((k * float(m - 1)) / float(bins) + 0.5).astype(np.int64)]
    symbols = np.searchsorted(thresholds, values, side="right")
    symbols[np.isnan(values)] = 0
    return symbols


def np_transfer_entropy(source, target, bins, lag):
    s = np_discretise(source, bins)
    t = np_discretise(target, bins)
    count = len(source) - lag
    nxt, past, src = t[lag:], t[:count], s[:count]

    def counts(key):
        _, inverse, c = np.unique(key, return_inverse=True, return_counts=True)
        return c[inverse].astype(np.float64) / count

    b = np.int64(bins)
    p_xyz = counts((nxt * b + past) * b + src)
    p_xy = counts(nxt * b + past)
    p_yz = counts(past * b + src)
    p_y = counts(past)
    return max(float(np.sum(p_xyz * np.log((p_xyz * p_y) / (p_xy * p_yz)))), 0.0)


# ---- the Ledoit-Wolf floor ----

CHAIN_SOURCE = r"""
#include <stddef.h>
/* One running sum from 0.0 over `total` terms, cycling through a block of `chunk` terms. */
double chain(const double* terms, size_t chunk, size_t total) {
    double sum = 0.0;
    size_t done = 0;
    while (done < total) {
        size_t m = total - done < chunk ? total - done : chunk;
        for (size_t i = 0; i < m; ++i) sum += terms[i];
        done += m;
    }
    return sum;
}
"""


def build_chain(workdir):
    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        return None
    source = pathlib.Path(workdir) / "chain.c"
    library = pathlib.Path(workdir) / "chain.so"
    source.write_text(CHAIN_SOURCE)
    done = subprocess.run([compiler, "-O2", "-ffp-contract=off", "-fPIC", "-shared", str(source), "-o", str(library)],
                          capture_output=True)
    if done.returncode != 0:
        return None
    lib = ctypes.CDLL(str(library))
    lib.chain.restype = ctypes.c_double
    lib.chain.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t]
    return lib


# ---- the C floors ----

FLOOR_SOURCE = r"""
#define Py_LIMITED_API 0x030B0000
#include <Python.h>
#include <math.h>
#include <stdlib.h>

/* Each list's floats into a fresh buffer: PyList_GetItem and PyFloat_AsDouble, one item at a time. */
static PyObject* read_lists(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    for (Py_ssize_t a = 0; a < nargs; ++a) {
        Py_ssize_t n = PyList_Size(args[a]);
        if (n < 0) return NULL;
        double* buffer = malloc((size_t)(n > 0 ? n : 1) * sizeof(double));
        if (buffer == NULL) return PyErr_NoMemory();
        for (Py_ssize_t i = 0; i < n; ++i) {
            double v = PyFloat_AsDouble(PyList_GetItem(args[a], i));
            if (v == -1.0 && PyErr_Occurred()) {
                free(buffer);
                return NULL;
            }
            buffer[i] = v;
        }
        volatile double last = n > 0 ? buffer[n - 1] : 0.0;
        (void)last;
        free(buffer);
    }
    Py_RETURN_NONE;
}

/* twap_schedule with no checks: a float and a count in, the list of equal slices out. */
static PyObject* twap(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    double quantity = PyFloat_AsDouble(args[0]);
    Py_ssize_t n = PyLong_AsSsize_t(args[1]);
    if ((quantity == -1.0 || n == -1) && PyErr_Occurred()) return NULL;
    PyObject* list = PyList_New(n);
    if (list == NULL) return NULL;
    double slice = quantity / (double)n;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyFloat_FromDouble(slice);
        if (item == NULL) {
            Py_DECREF(list);
            return NULL;
        }
        PyList_SetItem(list, i, item);
    }
    return list;
}

/* almgren_chriss_market_impact with no checks: six floats in, the tuple of four costs out. */
static PyObject* impact(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    double v[6];
    for (int i = 0; i < 6; ++i) {
        v[i] = PyFloat_AsDouble(args[i]);
        if (v[i] == -1.0 && PyErr_Occurred()) return NULL;
    }
    double size = fabs(v[0]), participation = size / v[2];
    double spread = 0.5 * (size * v[3]), temporary = participation * (v[1] * (v[4] * size));
    double permanent = sqrt(participation) * ((v[5] * size) * v[1]);
    double costs[4] = {spread, temporary, permanent, (temporary + spread) + permanent};
    PyObject* tuple = PyTuple_New(4);
    if (tuple == NULL) return NULL;
    for (int i = 0; i < 4; ++i) {
        PyObject* item = PyFloat_FromDouble(costs[i]);
        if (item == NULL) {
            Py_DECREF(tuple);
            return NULL;
        }
        PyTuple_SetItem(tuple, i, item);
    }
    return tuple;
}

/* A list of a float64 buffer's values: PyList_New, then PyFloat_FromDouble and PyList_SetItem a slot
   at a time, as any list of distinct floats is built through this API. */
static PyObject* fill(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return NULL;
    const double* v = (const double*)view.buf;
    Py_ssize_t n = view.len / (Py_ssize_t)sizeof(double);
    PyObject* list = PyList_New(n);
    for (Py_ssize_t i = 0; list != NULL && i < n; ++i) {
        PyObject* item = PyFloat_FromDouble(v[i]);
        if (item == NULL) Py_CLEAR(list);
        else PyList_SetItem(list, i, item);
    }
    PyBuffer_Release(&view);
    return list;
}

static PyMethodDef methods[] = {
    {"fill", (PyCFunction)(void (*)(void))fill, METH_FASTCALL, NULL},
    {"read_lists", (PyCFunction)(void (*)(void))read_lists, METH_FASTCALL, NULL},
    {"twap", (PyCFunction)(void (*)(void))twap, METH_FASTCALL, NULL},
    {"impact", (PyCFunction)(void (*)(void))impact, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};
static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "floor", NULL, -1, methods};
PyMODINIT_FUNC PyInit_floor(void) { return PyModule_Create(&module); }
"""


def build_floor(workdir):
    """The C floors as a module built against the same limited API, or None without a compiler."""
    import importlib.util
    import sysconfig

    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    include = sysconfig.get_paths().get("include")
    if compiler is None or include is None:
        return None
    source = pathlib.Path(workdir) / "floor.c"
    library = pathlib.Path(workdir) / "floor.abi3.so"
    source.write_text(FLOOR_SOURCE)
    done = subprocess.run([compiler, "-O2", "-fPIC", "-shared", f"-I{include}", str(source), "-o", str(library), "-lm"],
                          capture_output=True)
    if done.returncode != 0:
        return None
    found = importlib.util.spec_from_file_location("floor", library)
    floor = importlib.util.module_from_spec(found)
    found.loader.exec_module(floor)
    return floor


# ---- the table ----

ROWS = []
HEADER = ("function", "size", "input", "valmora", "peer, 1 BLAS thread", "peer + .tolist(), 1 thread",
          "peer, default threads", "peer name", "ratio to peer", "ratio to peer + .tolist()",
          "ratio, default threads")


def batch(fn, min_time):
    """Calls per timed batch: enough for the batch to last about min_time."""
    number = 1
    while True:
        start = CLOCK()
        for _ in range(number):
            fn()
        elapsed = CLOCK() - start
        if elapsed >= min_time or number >= 1 << 20:
            return number
        number *= 2 if elapsed > min_time / 10 else 10


def alternating(groups, min_time=None, rounds=None):
    """Seconds per call of every function in `groups`, a list of (context, [functions]): the
    minimum over rounds, each round timing every function once, a batch at a time, in order, each
    group inside its context (the BLAS thread limit)."""
    min_time = min_time or (0.01 if QUICK else 0.03)
    rounds = rounds or (3 if QUICK else 7)
    numbers = []
    for context, fns in groups:
        with context():
            numbers.append([batch(fn, min_time) for fn in fns])
    times = [[math.inf] * len(fns) for _, fns in groups]
    for _ in range(rounds):
        for g, (context, fns) in enumerate(groups):
            with context():
                # One untimed call: the first call after the BLAS threads change pays for it.
                fns[0]()
                for i, fn in enumerate(fns):
                    start = CLOCK()
                    for _ in range(numbers[g][i]):
                        fn()
                    times[g][i] = min(times[g][i], (CLOCK() - start) / numbers[g][i])
    return times


def one_blas_thread():
    if threadpool_limits is None:
        return contextlib.nullcontext()
    return threadpool_limits(limits=1, user_api="blas")


def as_list(result):
    """The peer's result as valmora returns it: arrays and Series as lists, inside tuples too."""
    if isinstance(result, tuple):
        return tuple(as_list(r) for r in result)
    return result.tolist() if hasattr(result, "tolist") else result


def show_row(function, size, inp, ours, one, listed, default, peer_name, unit):
    scale = {"ms": 1e3, "us": 1e6, "ns": 1e9}[unit]

    def show(t):
        return "-" if t is None else f"{t * scale:.3f} {unit}"

    def ratio(t):
        return "-" if t is None else f"{ours / t:.2f}"

    ROWS.append((function, size, inp, show(ours), show(one), show(listed), show(default), peer_name, ratio(one),
                 ratio(listed), ratio(default)))
    r = ROWS[-1]
    print(f"{r[0]:32} {r[1]:>14} {r[2]:>8} {r[3]:>13} {r[4]:>13} {r[5]:>13} {r[6]:>13}  {r[7]:24} {r[8]:>6} "
          f"{r[9]:>6} {r[10]:>6}", flush=True)


def compare(function, size, ours, peer, peer_name, unit="ms", blas=True, listed=True):
    """`ours` maps an input label to a call; `peer` returns its own result. With blas, the peer is
    also timed with its default threads; with listed, also followed by .tolist()."""
    if not wanted(function, size):
        return
    labels = list(ours)
    # The calling thread's time leaves out what the peer's BLAS threads do.
    blas = blas and CLOCK is time.perf_counter
    peer_one = [peer] + ([lambda: as_list(peer())] if listed else [])
    groups = [(contextlib.nullcontext, [ours[k] for k in labels]), (one_blas_thread, peer_one)]
    if blas:
        groups.append((contextlib.nullcontext, [peer]))
    times = alternating(groups)
    one = times[1][0]
    listed_time = times[1][1] if listed else None
    default = times[2][0] if blas else None
    for label, t in zip(labels, times[0]):
        show_row(function, size, label, t, one, listed_time, default, peer_name, unit)


def both(function, size, ours, args_np, args_list, peer, peer_name, unit="ms", blas=True):
    compare(function, size, {"list": lambda: ours(*args_list), "numpy": lambda: ours(*args_np)}, peer, peer_name,
            unit, blas)


def as_lists(*args):
    return tuple(a.tolist() if isinstance(a, np.ndarray) else a for a in args)


VENDORS = {"GenuineIntel": "Intel", "AuthenticAMD": "AMD", "HygonGenuine": "Hygon"}


def machine():
    """The processor by vendor and model (family and model numbers too: virtual machines often
    shorten the model name), its widest vector set, and the peers' BLAS."""
    info = {}
    try:
        for line in open("/proc/cpuinfo"):
            key, _, value = line.partition(":")
            key = key.strip()
            if key in ("vendor_id", "model name", "cpu family", "model", "stepping", "flags") and key not in info:
                info[key] = value.strip()
            if key == "flags":
                break
    except OSError:
        pass
    vendor = info.get("vendor_id", "")
    model = info.get("model name") or platform.processor() or platform.machine()
    cpu = f"CPU {model}, vendor {VENDORS.get(vendor, vendor or 'unknown')}" + (f" ({vendor})" if vendor else "")
    if "cpu family" in info:
        cpu += f", family {info['cpu family']} model {info.get('model', '?')} stepping {info.get('stepping', '?')}"
    flags = set(info.get("flags", "").split())
    isa = "avx512f" if "avx512f" in flags else "avx2" if "avx2" in flags else "baseline"
    blas = ""
    if threadpool_info is not None:
        pools = [p for p in threadpool_info() if p.get("user_api") == "blas"]
        if pools:
            blas = "; BLAS " + ", ".join(f"{p['internal_api']} {p.get('version') or ''} with {p['num_threads']} "
                                         f"threads by default".replace("  ", " ") for p in pools)
    return (f"{cpu}, {os.cpu_count()} cores, widest vector set {isa}; Python {platform.python_version()}, "
            f"numpy {np.__version__}{blas}")


# ---- scaling ----

SCALING = []


def rss_kib(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise OSError(field)


def peak_above_inputs(fn):
    """MiB of resident memory a call adds at its peak to what was resident before it (the inputs
    included), or None where the peak cannot be reset (outside Linux). Free heap memory is first
    handed back to the system, so that memory reused from earlier calls counts too."""
    gc.collect()
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass
    try:
        with open("/proc/self/clear_refs", "w") as reset:
            reset.write("5")  # resets the peak resident size
        before = rss_kib("VmRSS")
        result = fn()
        peak = rss_kib("VmHWM")
    except OSError:
        return None
    del result
    return (peak - before) / 1024


def scaling(function, sizes, make, unit_name, label="{:,}"):
    """`make(size)` gives (call, units of work); times at every size, peak memory at the two largest.
    Times are the calling thread's processor time (user and system, page faults included), which
    other work on a shared machine disturbs less than the wall clock; valmora runs on that thread."""
    cells = []
    for i, size in enumerate(sizes):
        call, units = make(size)
        seconds = best(call, repeat=3, clock=time.thread_time)
        peak = peak_above_inputs(call) if i > 0 else None
        cells.append(f"{seconds / units * 1e9:.3f}" + ("" if peak is None else f" ({peak:.1f} MiB)"))
    shown = " / ".join(label.format(s) for s in sizes)
    SCALING.append((function, shown, unit_name, *cells))
    print(f"{function:34} {shown:>34} {unit_name:>6}  " + "  ".join(f"{c:>20}" for c in cells), flush=True)


def scaling_table(rng):
    print("\nScaling: ns of thread time per unit of work at three sizes (peak MiB above the inputs at the two "
          "larger)")
    points = (250_000, 1_000_000, 4_000_000)
    xy = {n: (rng.normal(size=n), rng.normal(size=n)) for n in points}
    volume = {n: np.abs(xy[n][0]) + 0.1 for n in points}
    scaling("x.tolist() (reference)", points, lambda n: ((lambda: xy[n][0].tolist()), n), "n")
    scaling("rolling_correlation w20", points,
            lambda n: ((lambda: valmora.rolling_correlation(*xy[n], 20)), n * 20), "n*w")
    scaling("cointegration_spread", points, lambda n: ((lambda: valmora.cointegration_spread(*xy[n])), n), "n")
    scaling("transfer_entropy 8 bins", points,
            lambda n: ((lambda: valmora.transfer_entropy(*xy[n], 8, 1)), n), "n")
    scaling("vwap_schedule", points, lambda n: ((lambda: valmora.vwap_schedule(1e6, volume[n])), n), "n")
    scaling("twap_schedule", points, lambda n: ((lambda: valmora.twap_schedule(1e6, n)), n), "n")
    scaling("optimal_execution_trajectory", points,
            lambda n: ((lambda: valmora.optimal_execution_trajectory(1e6, n, 0.5)), n), "n")
    del xy, volume

    p = 50  # also the factor count k below
    observations = (5_000, 20_000, 80_000)
    data = {n: rng.standard_normal((n, p)) for n in observations}
    for name in ("sample_covariance_matrix", "ledoit_wolf_covariance_matrix", "oas_covariance_matrix"):
        fn = getattr(valmora, name)
        scaling(name, observations, lambda n, fn=fn: ((lambda: fn(data[n], 1.0)), n * p * p), "n*p*p",
                "{:,}x%d" % p)
    weights = {n: rng.normal(size=n) / n for n in observations}
    specific = {n: rng.random(n) * 0.04 for n in observations}
    factors = np.cov(rng.standard_normal((4 * p, p)), rowvar=False)
    scaling("factor_risk_decomposition", observations,
            lambda n: ((lambda: valmora.factor_risk_decomposition(weights[n], data[n], factors, specific[n])),
                       n * p), "n*k", "{:,}x%d" % p)
    del data
    sides = (250, 500, 1000)
    covariances = {m: np.cov(rng.standard_normal((2 * m, m)), rowvar=False) for m in sides}
    vols = {m: rng.random(m) * 0.3 for m in sides}
    scaling("covariance_to_correlation", sides,
            lambda m: ((lambda: valmora.covariance_to_correlation(covariances[m])), m * m), "p*p", "{0}x{0}")
    scaling("correlation_to_covariance", sides,
            lambda m: ((lambda: valmora.correlation_to_covariance(covariances[m], vols[m])), m * m), "p*p",
            "{0}x{0}")



def plain_row(function, size, inp, ours, other, other_name, unit, min_time=None):
    """valmora beside another call that is not a peer's, in alternating rounds."""
    if not wanted(function, size):
        return
    (t_ours, t_other), = alternating([(contextlib.nullcontext, [ours, other])], min_time)
    show_row(function, size, inp, t_ours, t_other, None, None, other_name, unit)


def clock_ghz():
    """The processor clock /proc/cpuinfo states (nominal on most virtual machines), or None."""
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("cpu MHz"):
                return float(line.split(":")[1]) / 1000.0
    except (OSError, ValueError):
        pass
    return None


def cross_product_rate(rng):
    """Products per cycle of the exact cross-product: from the time 2n observations take beyond n,
    which leaves out the result list and every other cost that does not grow with n. The peak of
    the processors the tiles were tuned on is 8 (two multiplies and two additions of four doubles
    per cycle on AMD's Zen 4, one of each of eight on Intel's with two 512-bit units)."""
    ghz = clock_ghz()
    for n, p in ((2500, 100), (5000, 300), (1000, 1000)):
        half, full = rng.standard_normal((n, p)), rng.standard_normal((2 * n, p))
        if not wanted("cross-product rate", f"{n}x{p}"):
            continue
        (t_half, t_full), = alternating([(contextlib.nullcontext, [
            lambda: valmora.sample_covariance_matrix(half, 1.0), lambda: valmora.sample_covariance_matrix(full, 1.0)])])
        per_ns = n * p * (p + 1) / 2 / ((t_full - t_half) * 1e9)
        shown = f"{per_ns:.2f} per ns" + (f", {per_ns / ghz:.2f} per cycle at {ghz:.2f} GHz" if ghz else "")
        ROWS.append(("cross-product, products per cycle", f"{n}x{p}", "numpy", shown, "-", "-", "-",
                     "peak 8 per cycle", "-", "-", "-"))
        print(f"{'cross-product rate':32} {n}x{p:<10} {shown}", flush=True)


def universe_row():
    """examples/universe.py at its default size: two process workers against the same screen in one
    process. The cluster is started (and its workers warmed) outside the timing, as a running cluster is."""
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        print("(no dask.distributed: universe screen skipped)")
        return
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
    import itertools

    import universe

    prices = universe.make_prices(200, 504)
    pairs = list(itertools.combinations(range(200), 2))
    serial = best(lambda: universe.screen_serial(prices, pairs, 63, 4), repeat=3)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        universe.screen_on_dask(client, prices, pairs[:400], 63, 4, progress=False)
        spread = best(lambda: universe.screen_on_dask(client, prices, pairs, 63, 4, progress=False), repeat=3)
    show_row("universe screen, 2 dask workers", "19,900 pairs", "lists", spread, serial, None, None,
             "the same in one process", "ms")


# ---- kernel levels ----

LEVELS = []
# Calls whose time is mostly one lane kernel, each with its main kernel named.
LEVEL_CALLS = (
    ("sample_covariance_matrix", "20000x12", "tiled cross-product"),
    ("sample_covariance_matrix", "5000x300", "packed cross-product"),
    ("ledoit_wolf_covariance_matrix", "500x50", "Ledoit-Wolf chain"),
    ("ledoit_wolf_covariance_matrix", "5000x300", "Ledoit-Wolf chain"),
    ("rolling_correlation", "1,000,000 w20", "rolling blocks"),
    ("factor_risk_decomposition", "30000x50", "exposures"),
    ("cointegration_spread", "1,000,000", "exact sums"),
)


def level_times():
    """Milliseconds of thread time per call of LEVEL_CALLS, at the level this process runs."""
    rng = np.random.default_rng(7)
    x, y = rng.normal(size=1_000_000), rng.normal(size=1_000_000)
    loadings = rng.normal(size=(30_000, 50))
    weights, specific = rng.normal(size=30_000) / 30_000, rng.random(30_000) * 0.04
    factors = np.cov(rng.standard_normal((200, 50)), rowvar=False)
    data = {size: rng.standard_normal(tuple(int(v) for v in size.split("x")))
            for size in ("20000x12", "5000x300", "500x50")}
    calls = {
        ("sample_covariance_matrix", "20000x12"): lambda: valmora.sample_covariance_matrix(data["20000x12"], 1.0),
        ("sample_covariance_matrix", "5000x300"): lambda: valmora.sample_covariance_matrix(data["5000x300"], 1.0),
        ("ledoit_wolf_covariance_matrix", "500x50"):
            lambda: valmora.ledoit_wolf_covariance_matrix(data["500x50"], 1.0),
        ("ledoit_wolf_covariance_matrix", "5000x300"):
            lambda: valmora.ledoit_wolf_covariance_matrix(data["5000x300"], 1.0),
        ("rolling_correlation", "1,000,000 w20"): lambda: valmora.rolling_correlation(x, y, 20),
        ("factor_risk_decomposition", "30000x50"):
            lambda: valmora.factor_risk_decomposition(weights, loadings, factors, specific),
        ("cointegration_spread", "1,000,000"): lambda: valmora.cointegration_spread(y, x),
    }
    return [best(calls[(name, size)], repeat=5, clock=time.thread_time) * 1e3 for name, size, _ in LEVEL_CALLS]


def offered_levels():
    """The kernel levels this processor offers, narrowest first, as the module lists them when it
    refuses a value of VALMORA_KERNEL_LEVEL that is none of them."""
    done = subprocess.run([sys.executable, "-c", "import valmora"], env={**os.environ, "VALMORA_KERNEL_LEVEL": "?"},
                          capture_output=True, text=True)
    found = re.search(r"accepted values: ([a-z0-9, ]*) \(", done.stderr)
    if found is None:
        raise RuntimeError(f"no accepted values in the module's refusal: {done.stderr[-500:]}")
    return found.group(1).split(", ")


def levels_table():
    """LEVEL_CALLS at every kernel level this processor offers, side by side: each level in a
    process of its own, VALMORA_KERNEL_LEVEL being read once per process. Every level gives the
    same bits."""
    levels = offered_levels()
    columns = {}
    for level in levels:
        done = subprocess.run([sys.executable, __file__, "--level-times"] + (["--quick"] if QUICK else []),
                              env={**os.environ, "VALMORA_KERNEL_LEVEL": level}, capture_output=True, text=True,
                              check=True)
        columns[level] = [float(v) for v in done.stdout.split()]
    print("\nKernel levels: ms of thread time per call, each level in its own process")
    print(f"{'function':32} {'size':>14} {'kernel':22} " + " ".join(f"{level:>10}" for level in levels))
    for i, (name, size, kernel) in enumerate(LEVEL_CALLS):
        cells = [f"{columns[level][i]:.3f}" for level in levels]
        LEVELS.append((name, size, kernel, *cells))
        print(f"{name:32} {size:>14} {kernel:22} " + " ".join(f"{c:>10}" for c in cells), flush=True)
    return levels


def main():
    global QUICK, ONLY, CLOCK
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter repeats (a minute or two)")
    parser.add_argument("--markdown", metavar="FILE", help="also write the table as Markdown")
    parser.add_argument("--only", metavar="PATTERN", help="only the rows whose \"function size\" the regular "
                        "expression matches (the same data as in a full run), without the scaling and level tables")
    parser.add_argument("--thread-time", action="store_true", help="time the rows by the calling thread's processor "
                        "time, which other work on a busy machine disturbs less than the wall clock (the peers with "
                        "their default threads are then left out)")
    parser.add_argument("--level-times", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    QUICK = options.quick
    if options.thread_time:
        CLOCK = time.thread_time
    ONLY = re.compile(options.only) if options.only else None
    if options.level_times:
        print(" ".join(f"{t:.6f}" for t in level_times()))
        return 0

    import pandas as pd
    from sklearn.covariance import ledoit_wolf, oas

    rng = np.random.default_rng(2024)
    print(machine() + ("; times are the calling thread's processor time" if options.thread_time else ""))
    print(f"{'function':32} {'size':>14} {'input':>8} {'valmora':>13} {'peer 1 thr':>13} {'+ tolist':>13} "
          f"{'peer default':>13}  {'peer name':24} {'ratio':>6} {'r list':>6} {'r dflt':>6}")
    # Covariance family.
    for n, p in ((250, 25), (2500, 100), (5000, 300), (1000, 1000)):
        data = rng.standard_normal((n, p)) * 0.012 + 0.0003
        size = f"{n}x{p}"
        args = (data, 1.0)
        both("sample_covariance_matrix", size, valmora.sample_covariance_matrix, args, as_lists(*args),
             lambda: np.cov(data, rowvar=False), "numpy.cov")
        if p > 300:
            continue
        both("ledoit_wolf_covariance_matrix", size, valmora.ledoit_wolf_covariance_matrix, args, as_lists(*args),
             lambda: ledoit_wolf(data), "sklearn ledoit_wolf")
        both("oas_covariance_matrix", size, valmora.oas_covariance_matrix, args, as_lists(*args),
             lambda: oas(data), "sklearn oas")
    cross_product_rate(rng)
    # Where the contract's chain meets scikit-learn; 1000x1500 has more assets than days.
    lw_sizes = ((500, 50), (2500, 100), (5000, 300), (1000, 1500))
    lw_data = {}
    for n, p in (lw_sizes[0], lw_sizes[3]):
        data = rng.standard_normal((n, p))
        lw_data[(n, p)] = data
        compare("ledoit_wolf_covariance_matrix", f"{n}x{p}",
                {"numpy": lambda: valmora.ledoit_wolf_covariance_matrix(data, 1.0)}, lambda: ledoit_wolf(data),
                "sklearn ledoit_wolf")
    for m in (30, 300):
        a = rng.standard_normal((m * 2, m))
        cov = np.cov(a, rowvar=False)
        both("covariance_to_correlation", f"{m}x{m}", valmora.covariance_to_correlation, (cov,), as_lists(cov),
             lambda: np_cov_to_corr(cov), "numpy")
        rho = np_cov_to_corr(cov)
        vol = rng.random(m) * 0.3
        both("correlation_to_covariance", f"{m}x{m}", valmora.correlation_to_covariance, (rho, vol),
             as_lists(rho, vol), lambda: np_corr_to_cov(rho, vol), "numpy")

    # Risk.
    for n, k in ((300, 10), (3000, 50)):
        w = rng.normal(size=n) / n
        L = rng.normal(size=(n, k))
        A = rng.normal(size=(k, k))
        F = A @ A.T / k
        s = rng.random(n) * 0.04
        args = (w, L, F, s)
        both("factor_risk_decomposition", f"{n}x{k}", valmora.factor_risk_decomposition, args, as_lists(*args),
             lambda: np_risk(*args), "numpy", unit="us")

    # Time series; pandas and the numpy estimator start no BLAS threads.
    for n in (10_000, 1_000_000):
        x = rng.normal(size=n).cumsum() + 100.0
        y = 0.7 * x + rng.normal(size=n) * 3.0
        rx, ry = np.diff(x, prepend=x[0]), np.diff(y, prepend=y[0])
        xs, ys = pd.Series(rx), pd.Series(ry)
        for window in (20, 252):
            both("rolling_correlation", f"{n:,} w{window}", valmora.rolling_correlation, (rx, ry, window),
                 as_lists(rx, ry, window), lambda: xs.rolling(window).corr(ys), "pandas rolling corr", blas=False)
        both("cointegration_spread", f"{n:,}", valmora.cointegration_spread, (y, x), as_lists(y, x),
             lambda: np_spread(y, x), "numpy lstsq")
        lead = rng.normal(size=n)
        follow = np.empty(n)
        follow[0] = 0.0
        follow[1:] = 0.6 * lead[:-1] + 0.8 * rng.normal(size=n - 1)
        both("transfer_entropy", f"{n:,} 8 bins", valmora.transfer_entropy, (lead, follow, 8, 1),
             as_lists(lead, follow, 8, 1), lambda: np_transfer_entropy(lead, follow, 8, 1), "numpy estimator",
             blas=False)
    # Growth with length: 1M points against four times 250k points of the same pair (1.0 is linear).
    quarter = (lead[:250_000].copy(), follow[:250_000].copy())
    (t_full, t_quarter), = alternating([(contextlib.nullcontext, [
        lambda: valmora.transfer_entropy(lead, follow, 8, 1), lambda: valmora.transfer_entropy(*quarter, 8, 1)])])
    show_row("transfer_entropy growth", "1,000,000 8 bins", "numpy", t_full, 4 * t_quarter, None, None,
             "4 x the call at 250,000", "ms")

    # Execution.
    for periods in (4, 10_000):
        compare("twap_schedule", f"{periods:,}", {"scalars": lambda: valmora.twap_schedule(1e6, periods)},
                lambda: np_twap(1e6, periods), "numpy", "us", blas=False)
        curve = rng.random(periods) + 0.1
        both("vwap_schedule", f"{periods:,}", valmora.vwap_schedule, (1e6, curve), as_lists(1e6, curve),
             lambda: np_vwap(1e6, curve), "numpy", unit="us", blas=False)
        compare("optimal_execution_trajectory", f"{periods:,}",
                {"scalars": lambda: valmora.optimal_execution_trajectory(1e6, periods, 0.5)},
                lambda: np_trajectory(1e6, periods, 0.5), "numpy", "us", blas=False)
    impact = (1e5, 0.02, 1e7, 0.0005, 0.1, 0.05)
    compare("almgren_chriss_market_impact", "1", {"scalars": lambda: valmora.almgren_chriss_market_impact(*impact)},
            lambda: np_impact(*impact), "numpy", "us", blas=False, listed=False)

    # Tiny calls beside a built-in of the same arity that builds a comparable result; the
    # attribute lookup is hoisted on both sides.
    twap, repeat, impact_fn, hypot = valmora.twap_schedule, __import__("itertools").repeat, \
        valmora.almgren_chriss_market_impact, math.hypot
    long_time = 0.05 if QUICK else 0.2
    plain_row("tiny: twap_schedule(100.0, 4)", "1 call", "scalars", lambda: twap(100.0, 4),
              lambda: list(repeat(100.0, 4)), "list(itertools.repeat(100.0, 4))", "ns", long_time)
    q, vol, adv, spr, eta, gam = impact
    plain_row("tiny: almgren_chriss_market_impact", "1 call", "6 floats", lambda: impact_fn(q, vol, adv, spr, eta, gam),
              lambda: hypot(q, vol, adv, spr, eta, gam), "math.hypot (6 floats)", "ns", long_time)

    # Result lists of 1M floats: distinct values (vwap_schedule) against ndarray.tolist() of as
    # many, and equal slices (twap_schedule), which share one float, against np.full(...).tolist().
    curve = rng.random(1_000_000) + 0.1
    distinct = rng.normal(size=1_000_000)
    plain_row("result list of 1M distinct floats", "1,000,000", "numpy", lambda: valmora.vwap_schedule(1e6, curve),
              distinct.tolist, "ndarray.tolist()", "ms")
    plain_row("result list of 1M equal slices", "1,000,000", "scalars", lambda: twap(1.0, 1_000_000),
              lambda: np.full(1_000_000, 1.0 / 1_000_000).tolist(), "np.full(...).tolist()", "ms")

    # Conversion per element: rolling_correlation with window 1 converts both vectors, then fails.
    def convert(v):
        try:
            valmora.rolling_correlation(v, v, 1)
        except ValueError:
            pass

    def convert_two(a, b):
        try:
            valmora.rolling_correlation(a, b, 1)
        except ValueError:
            pass

    big, tiny = rng.normal(size=1_000_000), rng.normal(size=1)
    big_list, tiny_list = big.tolist(), tiny.tolist()
    # A float64 array is read in place, so its cost is the per-call cost alone: the difference can
    # come out a hair below zero, shown as zero.
    if wanted("float64 conversion per element", "1,000,000"):
        (t_big, t_tiny, t_big_list, t_tiny_list), = alternating([(contextlib.nullcontext, [
            lambda: convert(big), lambda: convert(tiny), lambda: convert(big_list), lambda: convert(tiny_list)])])
        per_array = max(0.0, (t_big - t_tiny) / (2 * big.size))
        per_list = (t_big_list - t_tiny_list) / (2 * big.size)
        show_row("float64 conversion per element", "1,000,000", "numpy", per_array, per_list, None, None,
                 "the same from a list", "ns")

    # The C floors: the same work in a few lines of C against the same limited API.
    with tempfile.TemporaryDirectory() as workdir:
        floor = build_floor(workdir)
        if floor is None:
            print("(no C compiler or headers: C floors skipped)")
        else:
            a, b = rng.normal(size=100_000).tolist(), rng.normal(size=100_000).tolist()
            plain_row("read two 100k-float lists", "2 x 100,000", "lists", lambda: convert_two(a, b),
                      lambda: floor.read_lists(a, b), "C: PyList_GetItem + PyFloat_AsDouble", "us")
            c_twap = floor.twap
            plain_row("tiny: twap_schedule(100.0, 4)", "1 call", "scalars", lambda: twap(100.0, 4),
                      lambda: c_twap(100.0, 4), "C: the same list, no checks", "ns", long_time)
            # vwap's list of 1M distinct floats beside the same list filled in C from a buffer.
            curve = rng.random(1_000_000) + 0.1
            plain_row("result list of 1M distinct floats", "1,000,000", "numpy",
                      lambda: valmora.vwap_schedule(1e6, curve), lambda: floor.fill(curve),
                      "C: PyFloat_FromDouble + PyList_SetItem", "ms")
            c_impact, impact, costs = floor.impact, valmora.almgren_chriss_market_impact, (1000.0, 0.02, 1e6, 0.01, 0.1, 0.5)
            plain_row("tiny: almgren_chriss_market_impact", "1 call", "6 floats", lambda: impact(*costs),
                      lambda: c_impact(*costs), "C: the same tuple, no checks", "ns", long_time)

    # The Ledoit-Wolf floor.
    with tempfile.TemporaryDirectory() as workdir:
        lib = build_chain(workdir)
        if lib is None:
            print("(no C compiler: Ledoit-Wolf floor skipped)")
        else:
            terms = np.ascontiguousarray(rng.random(2048) ** 2)
            pointer = terms.ctypes.data
            for n, p in lw_sizes:
                data = lw_data.get((n, p))
                if data is None:
                    data = rng.standard_normal((n, p))
                total = n * p * p
                plain_row("ledoit_wolf vs bare chain", f"{n}x{p}", "numpy",
                          lambda: valmora.ledoit_wolf_covariance_matrix(data, 1.0),
                          lambda: lib.chain(pointer, terms.size, total), f"one sum of {total:,} terms", "ms")

    levels = []
    if ONLY is None:
        universe_row()
        scaling_table(rng)
        levels = levels_table()

    if options.markdown:
        lines = [f"Machine: {machine()}" + ("; times are the calling thread's processor time" if options.thread_time
                                            else "") + ".", "",
                 "| " + " | ".join(HEADER) + " |",
                 "|---|---|---|---:|---:|---:|---:|---|---:|---:|---:|"]
        lines += ["| " + " | ".join(r) + " |" for r in ROWS]
        lines += ["", "Scaling on numpy arrays: ns of the calling thread's time per unit of work at three sizes a "
                  "factor of 4 apart; in brackets, the peak resident memory a call adds above its inputs (result "
                  "included).", "",
                  "| function | sizes | unit | small | middle | large |", "|---|---|---|---:|---:|---:|"]
        lines += ["| " + " | ".join(r) + " |" for r in SCALING]
        lines += ["", "Kernel levels (VALMORA_KERNEL_LEVEL, each in a process of its own): ms of thread time per "
                  "call.", "", "| function | size | kernel | " + " | ".join(levels) + " |",
                  "|---|---|---|" + "---:|" * len(levels)]
        lines += ["| " + " | ".join(r) + " |" for r in LEVELS]
        pathlib.Path(options.markdown).write_text("\n".join(lines) + "\n")
        print(f"wrote {options.markdown}")


if __name__ == "__main__":
    sys.exit(main())
