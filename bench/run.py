"""valmora against the peer a user would pick instead, every function, in one run.

    python bench/run.py              # full: more repeats
    python bench/run.py --quick      # a minute or two
    python bench/run.py --markdown bench.md

Each of the thirteen functions runs at a small and a large size on Python lists and on numpy
arrays, and its peer runs on the same data in the same process. Times are the minimum over
repeats. Every peer is timed twice: with its BLAS pinned to one thread (threadpoolctl), as
valmora runs on one thread, and with the threads it takes by default. The ratios are
valmora / peer (below 1: valmora is faster); the first, against one thread, is the like-for-like
one. Peers that return arrays convert their result with .tolist() where valmora returns a list,
so both sides pay for the result.

Also: the per-call cost of tiny calls beside a comparable built-in, the float64 conversion cost
per element, the Ledoit-Wolf floor (one bare left-to-right sum over the same n*p*p terms, compiled
with the project's flags into a small shared library, when a C compiler is at hand), and a
scaling table: every function on arrays at three sizes a factor of 4 apart, in nanoseconds per
unit of work, with the peak memory of a call above its inputs at the two larger sizes.
"""

import argparse
import ctypes
import gc
import math
import os
import pathlib
import platform
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
    return r.tolist()


def np_corr_to_cov(rho, vol):
    return ((rho * vol[:, None]) * vol[None, :]).tolist()


def np_twap(q, n):
    return np.full(n, q / n).tolist()


def np_vwap(q, v):
    return (v * q / v.sum()).tolist()


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
    return h.tolist(), (h[:-1] - h[1:]).tolist()


def np_risk(w, L, F, s):
    b = L.T @ w
    v = F @ b
    c = b * v
    f = c.sum()
    sp = (w * w) @ s
    return f + sp, f, sp, c.tolist()


def np_spread(y, x):
    design = np.column_stack([x, np.ones_like(x)])
    (beta, alpha), *_ = np.linalg.lstsq(design, y, rcond=None)
    e = y - (x * beta + alpha)
    return beta, alpha, (e - e.mean()).tolist()


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


# ---- the table ----

ROWS = []
HEADER = ("function", "size", "input", "valmora", "peer, 1 BLAS thread", "peer, default threads", "peer name",
          "ratio, 1 thread", "ratio, default")


def timed_peer(fn):
    """(seconds with BLAS on one thread, seconds with the default threads)."""
    if threadpool_limits is None:
        return math.nan, best(fn)
    with threadpool_limits(limits=1, user_api="blas"):
        one = best(fn)
    return one, best(fn)


def row(function, size, inp, ours, peer, peer_name, unit="ms"):
    """`peer` is a pair from timed_peer, or one time for a peer that starts no threads."""
    one, default = peer if isinstance(peer, tuple) else (peer, None)
    scale = {"ms": 1e3, "us": 1e6, "ns": 1e9}[unit]

    def show(t):
        return "-" if t is None else f"{t * scale:.3f} {unit}"

    def ratio(t):
        return "-" if t is None else f"{ours / t:.2f}"

    ROWS.append((function, size, inp, show(ours), show(one), show(default), peer_name, ratio(one), ratio(default)))
    r = ROWS[-1]
    print(f"{r[0]:32} {r[1]:>14} {r[2]:>8} {r[3]:>13} {r[4]:>13} {r[5]:>13}  {r[6]:24} {r[7]:>6} {r[8]:>6}",
          flush=True)


def both(function, size, ours, args_np, args_list, peer, peer_name, unit="ms"):
    t_peer = timed_peer(peer)
    row(function, size, "list", best(lambda: ours(*args_list)), t_peer, peer_name, unit)
    row(function, size, "numpy", best(lambda: ours(*args_np)), t_peer, peer_name, unit)


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
    row("universe screen, 2 dask workers", "19,900 pairs", "lists", spread, serial, "the same in one process", "ms")


def main():
    global QUICK
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter repeats (a minute or two)")
    parser.add_argument("--markdown", metavar="FILE", help="also write the table as Markdown")
    options = parser.parse_args()
    QUICK = options.quick

    import pandas as pd
    from sklearn.covariance import ledoit_wolf, oas

    rng = np.random.default_rng(2024)
    print(machine())
    print(f"{'function':32} {'size':>14} {'input':>8} {'valmora':>13} {'peer 1 thr':>13} {'peer default':>13}  "
          f"{'peer name':24} {'ratio1':>6} {'ratioD':>6}")

    # Covariance family.
    for n, p in ((250, 25), (2500, 100)):
        data = rng.standard_normal((n, p)) * 0.012 + 0.0003
        size = f"{n}x{p}"
        args = (data, 1.0)
        both("sample_covariance_matrix", size, valmora.sample_covariance_matrix, args, as_lists(*args),
             lambda: np.cov(data, rowvar=False).tolist(), "numpy.cov")
        both("ledoit_wolf_covariance_matrix", size, valmora.ledoit_wolf_covariance_matrix, args, as_lists(*args),
             lambda: ledoit_wolf(data), "sklearn ledoit_wolf")
        both("oas_covariance_matrix", size, valmora.oas_covariance_matrix, args, as_lists(*args),
             lambda: oas(data), "sklearn oas")
    # Where the contract's chain meets scikit-learn.
    lw_sizes = ((500, 50), (2500, 100), (5000, 300))
    lw_data = {}
    for n, p in (lw_sizes[0], lw_sizes[2]):
        data = rng.standard_normal((n, p))
        lw_data[(n, p)] = data
        row("ledoit_wolf_covariance_matrix", f"{n}x{p}", "numpy",
            best(lambda: valmora.ledoit_wolf_covariance_matrix(data, 1.0)), timed_peer(lambda: ledoit_wolf(data)),
            "sklearn ledoit_wolf")
    for m in (30, 300):
        a = rng.standard_normal((m * 2, m))
        cov = np.cov(a, rowvar=False)
        both("covariance_to_correlation", f"{m}x{m}", valmora.covariance_to_correlation, (cov,), as_lists(cov),
             lambda: np_cov_to_corr(cov), "numpy")
        rho = np_cov_to_corr(cov)
        rho = np.array(rho)
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

    # Time series.
    for n in (10_000, 1_000_000):
        x = rng.normal(size=n).cumsum() + 100.0
        y = 0.7 * x + rng.normal(size=n) * 3.0
        rx, ry = np.diff(x, prepend=x[0]), np.diff(y, prepend=y[0])
        xs, ys = pd.Series(rx), pd.Series(ry)
        for window in (20, 252):
            both("rolling_correlation", f"{n:,} w{window}", valmora.rolling_correlation, (rx, ry, window),
                 as_lists(rx, ry, window), lambda: xs.rolling(window).corr(ys).tolist(), "pandas rolling corr")
        both("cointegration_spread", f"{n:,}", valmora.cointegration_spread, (y, x), as_lists(y, x),
             lambda: np_spread(y, x), "numpy lstsq")
        lead = rng.normal(size=n)
        follow = np.empty(n)
        follow[0] = 0.0
        follow[1:] = 0.6 * lead[:-1] + 0.8 * rng.normal(size=n - 1)
        both("transfer_entropy", f"{n:,} 8 bins", valmora.transfer_entropy, (lead, follow, 8, 1),
             as_lists(lead, follow, 8, 1), lambda: np_transfer_entropy(lead, follow, 8, 1), "numpy estimator")

    # Execution.
    for periods in (4, 10_000):
        row("twap_schedule", f"{periods:,}", "scalars", best(lambda: valmora.twap_schedule(1e6, periods)),
            timed_peer(lambda: np_twap(1e6, periods)), "numpy", "us")
        curve = rng.random(periods) + 0.1
        both("vwap_schedule", f"{periods:,}", valmora.vwap_schedule, (1e6, curve), as_lists(1e6, curve),
             lambda: np_vwap(1e6, curve), "numpy", unit="us")
        row("optimal_execution_trajectory", f"{periods:,}", "scalars",
            best(lambda: valmora.optimal_execution_trajectory(1e6, periods, 0.5)),
            timed_peer(lambda: np_trajectory(1e6, periods, 0.5)), "numpy", "us")
    impact = (1e5, 0.02, 1e7, 0.0005, 0.1, 0.05)
    row("almgren_chriss_market_impact", "1", "scalars", best(lambda: valmora.almgren_chriss_market_impact(*impact)),
        timed_peer(lambda: np_impact(*impact)), "numpy", "us")

    # Tiny calls beside a built-in of the same arity that builds a comparable result; the
    # attribute lookup is hoisted on both sides.
    twap, repeat, impact_fn, hypot = valmora.twap_schedule, __import__("itertools").repeat, \
        valmora.almgren_chriss_market_impact, math.hypot
    long_time = 0.05 if QUICK else 0.2
    row("tiny: twap_schedule(100.0, 4)", "1 call", "scalars", best(lambda: twap(100.0, 4), long_time),
        best(lambda: list(repeat(100.0, 4)), long_time), "list(itertools.repeat(100.0, 4))", "ns")
    q, vol, adv, spr, eta, gam = impact
    row("tiny: almgren_chriss_market_impact", "1 call", "6 floats",
        best(lambda: impact_fn(q, vol, adv, spr, eta, gam), long_time),
        best(lambda: hypot(q, vol, adv, spr, eta, gam), long_time), "math.hypot (6 floats)", "ns")

    # Conversion per element: rolling_correlation with window 1 converts both vectors, then fails.
    def convert(v):
        try:
            valmora.rolling_correlation(v, v, 1)
        except ValueError:
            pass

    big, tiny = rng.normal(size=1_000_000), rng.normal(size=1)
    big_list, tiny_list = big.tolist(), tiny.tolist()
    # A float64 array is read in place, so its cost is the per-call cost alone: the difference can
    # come out a hair below zero, shown as zero.
    per_array = max(0.0, (best(lambda: convert(big)) - best(lambda: convert(tiny))) / (2 * big.size))
    per_list = (best(lambda: convert(big_list)) - best(lambda: convert(tiny_list))) / (2 * big.size)
    row("float64 conversion per element", "1,000,000", "numpy", per_array, per_list, "the same from a list", "ns")

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
                row("ledoit_wolf vs bare chain", f"{n}x{p}", "numpy",
                    best(lambda: valmora.ledoit_wolf_covariance_matrix(data, 1.0)),
                    best(lambda: lib.chain(pointer, terms.size, total)), f"one sum of {total:,} terms")

    universe_row()
    scaling_table(rng)

    if options.markdown:
        lines = [f"Machine: {machine()}.", "",
                 "| " + " | ".join(HEADER) + " |",
                 "|---|---|---|---:|---:|---:|---|---:|---:|"]
        lines += ["| " + " | ".join(r) + " |" for r in ROWS]
        lines += ["", "Scaling on numpy arrays: ns of the calling thread's time per unit of work at three sizes a "
                  "factor of 4 apart; in brackets, the peak resident memory a call adds above its inputs (result "
                  "included).", "",
                  "| function | sizes | unit | small | middle | large |", "|---|---|---|---:|---:|---:|"]
        lines += ["| " + " | ".join(r) + " |" for r in SCALING]
        pathlib.Path(options.markdown).write_text("\n".join(lines) + "\n")
        print(f"wrote {options.markdown}")


if __name__ == "__main__":
    sys.exit(main())
