"""factor_risk_decomposition on 3,000 assets x 50 factors against numpy computing the same quantities.

Run: PYTHONPATH=<build dir> python bench/bench_risk.py
"""

import timeit

import numpy as np

import valmora

N_ASSETS, N_FACTORS = 3000, 50


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=7)) / number


def main():
    rng = np.random.default_rng(0)
    w = rng.normal(size=N_ASSETS) / N_ASSETS
    L = rng.normal(size=(N_ASSETS, N_FACTORS))
    A = rng.normal(size=(N_FACTORS, N_FACTORS))
    F = A @ A.T / N_FACTORS
    s = rng.random(N_ASSETS) * 0.04
    lists = (w.tolist(), L.tolist(), F.tolist(), s.tolist())

    def peer():
        b = L.T @ w
        v = F @ b
        c = b * v
        return c.sum(), (w * w) @ s

    t_numpy = best(peer, 2000)
    t_arrays = best(lambda: valmora.factor_risk_decomposition(w, L, F, s), 20)
    t_lists = best(lambda: valmora.factor_risk_decomposition(*lists), 50)

    def convert_only():
        # A 1 x 1 covariance fails validation after every argument has been converted.
        try:
            valmora.factor_risk_decomposition(w, L, [[1.0]], s)
        except ValueError:
            pass

    t_convert = best(convert_only, 20)

    print(f"{N_ASSETS} assets x {N_FACTORS} factors, best of 7")
    print(f"  numpy (L.T@w, F@b, b*v, (w*w)@s)        {t_numpy * 1e6:10.1f} us")
    print(f"  valmora, numpy arrays in               {t_arrays * 1e6:10.1f} us   ratio {t_arrays / t_numpy:7.1f}x numpy")
    print(f"  of which argument conversion           {t_convert * 1e6:10.1f} us")
    print(f"  remaining (validation, arithmetic, result) {(t_arrays - t_convert) * 1e6:6.1f} us   "
          f"ratio {(t_arrays - t_convert) / t_numpy:7.1f}x numpy")
    print(f"  valmora, Python lists in               {t_lists * 1e6:10.1f} us   ratio {t_lists / t_numpy:7.1f}x numpy")


if __name__ == "__main__":
    main()
