"""Covariance estimators beside numpy.cov and scikit-learn's ledoit_wolf and oas.

Daily-return-like data, 2,500 observations of 100 assets, float64. Each of our estimators is timed
on the nested list (data.tolist(), the usual Python input) and on the numpy array itself; each
peer on the numpy array. Times are the best of several repeats; ratios are ours / peer (below 1
means we are faster).

    python bench/bench_covariance.py
"""

import timeit

import numpy as np
import valmora
from sklearn.covariance import ledoit_wolf, oas

N, P = 2500, 100


def best(fn, number=None):
    timer = timeit.Timer(fn)
    if number is None:
        number, _ = timer.autorange()
        number = max(1, number // 4)
    return min(timer.repeat(repeat=7, number=number)) / number


def main():
    rng = np.random.default_rng(2024)
    data = rng.standard_normal((N, P)) * 0.012 + 0.0003
    rows = data.tolist()

    pairs = [
        ("sample_covariance_matrix", lambda d: valmora.sample_covariance_matrix(d, 1.0),
         "numpy.cov", lambda: np.cov(data, rowvar=False)),
        ("ledoit_wolf_covariance_matrix", lambda d: valmora.ledoit_wolf_covariance_matrix(d, 1.0),
         "sklearn ledoit_wolf", lambda: ledoit_wolf(data)),
        ("oas_covariance_matrix", lambda d: valmora.oas_covariance_matrix(d, 1.0),
         "sklearn oas", lambda: oas(data)),
    ]
    print(f"{N} x {P} float64; best of 7 repeats, milliseconds per call")
    print(f"{'function':32} {'list in':>9} {'array in':>9}   {'peer':22} {'peer':>8}  {'ratio list':>10} {'ratio array':>11}")
    for name, ours, peer_name, peer in pairs:
        t_list = best(lambda: ours(rows))
        t_array = best(lambda: ours(data))
        t_peer = best(peer)
        print(f"{name:32} {t_list * 1e3:9.2f} {t_array * 1e3:9.2f}   {peer_name:22} {t_peer * 1e3:8.2f}"
              f"  {t_list / t_peer:10.2f} {t_array / t_peer:11.2f}")
    t_convert = best(lambda: data.tolist())
    print(f"(for reference: data.tolist() itself takes {t_convert * 1e3:.2f} ms)")


if __name__ == "__main__":
    main()
