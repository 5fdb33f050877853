"""The time-series routines on 1,000,000 points, numpy arrays in, against named peers.

  rolling_correlation (windows 20 and 252)  vs  pandas.Series.rolling(w).corr
  transfer_entropy (8 bins, lag 1)          vs  the same estimator in numpy (sort, numpy.unique)
  cointegration_spread                      vs  numpy.linalg.lstsq plus centred residuals

Run: PYTHONPATH=<build dir> python bench/bench_timeseries.py
"""

import time

import numpy as np

import valmora

N = 1_000_000


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def numpy_discretise(values, bins):
    ordered = np.sort(values, kind="stable")  # NaN last
    m = len(values)
    k = np.arange(1, bins, dtype=np.float64)
    q = (k * float(m - 1)) / float(bins)
    thresholds = ordered[np.floor(q + 0.5).astype(np.int64)]
    symbols = np.searchsorted(thresholds, values, side="right")
    symbols[np.isnan(values)] = 0
    return symbols


def numpy_transfer_entropy(source, target, bins, lag):
    s = numpy_discretise(source, bins)
    t = numpy_discretise(target, bins)
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
    total = np.sum(p_xyz * np.log((p_xyz * p_y) / (p_xy * p_yz)))
    return max(total, 0.0)


def numpy_spread(y, x):
    design = np.column_stack([x, np.ones_like(x)])
    (beta, alpha), *_ = np.linalg.lstsq(design, y, rcond=None)
    e = y - (x * beta + alpha)
    return beta, alpha, (e - e.mean()).tolist()


def report(label, ours, peer, peer_name):
    print(f"  {label:<34} valmora {ours * 1e3:8.1f} ms   {peer_name} {peer * 1e3:8.1f} ms   "
          f"ratio {ours / peer:5.2f}x ({'faster' if ours < peer else 'slower'})")


def main():
    import pandas as pd

    rng = np.random.default_rng(0)
    x = rng.normal(size=N).cumsum() + 100.0
    y = 0.7 * x + rng.normal(size=N) * 3.0
    rx, ry = np.diff(x, prepend=x[0]), np.diff(y, prepend=y[0])

    print(f"{N:,} points, numpy float64 arrays in, best of 3")
    xs, ys = pd.Series(rx), pd.Series(ry)
    for window in (20, 252):
        ours = best(lambda: valmora.rolling_correlation(rx, ry, window), 3)
        peer = best(lambda: xs.rolling(window).corr(ys).tolist(), 3)
        got = np.array(valmora.rolling_correlation(rx, ry, window))
        want = xs.rolling(window).corr(ys).to_numpy()
        both = ~np.isnan(got) & ~np.isnan(want)
        worst = np.max(np.abs(got[both] - want[both]))
        report(f"rolling_correlation, window {window}", ours, peer, "pandas")
        print(f"    largest difference from pandas {worst:.1e} (pandas keeps running sums)")

    lead = rng.normal(size=N)
    follow = np.empty(N)
    follow[0] = 0.0
    follow[1:] = 0.6 * lead[:-1] + 0.8 * rng.normal(size=N - 1)
    ours = best(lambda: valmora.transfer_entropy(lead, follow, 8, 1), 3)
    peer = best(lambda: numpy_transfer_entropy(lead, follow, 8, 1), 3)
    a, b = valmora.transfer_entropy(lead, follow, 8, 1), numpy_transfer_entropy(lead, follow, 8, 1)
    report("transfer_entropy, 8 bins, lag 1", ours, peer, "numpy ")
    print(f"    estimates {a:.12f} and {b:.12f} nats")

    ours = best(lambda: valmora.cointegration_spread(y, x), 3)
    peer = best(lambda: numpy_spread(y, x), 3)
    ob, oa, _ = valmora.cointegration_spread(y, x)
    pb, pa, _ = numpy_spread(y, x)
    report("cointegration_spread", ours, peer, "numpy ")
    print(f"    beta {ob:.15g} vs {pb:.15g}, alpha {oa:.15g} vs {pa:.15g}")
    print("  (numpy peers return lists too where valmora does, so both sides pay for the result list)")


if __name__ == "__main__":
    main()
