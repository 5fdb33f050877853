"""Print every function's result on a fixed set of inputs, each double as float.hex.

One line per call, so that two interpreters' outputs compare with `cmp` and a difference names its
call. The inputs come from random.Random, whose random() sequence for a given seed is the same on
every Python version; only plain float arithmetic shapes them. Each series and matrix goes in both
as lists and as array.array buffers, sized to run the vector kernels and their scalar tails.
"""

import array
import json
import random

import valmora


def encode(value):
    if isinstance(value, float):
        return value.hex()
    if isinstance(value, (list, tuple)):
        return [encode(v) for v in value]
    raise TypeError(f"unexpected result type {type(value).__name__}")


def series(rng, n, scale=0.01):
    return [(rng.random() - 0.5) * scale for _ in range(n)]


def matrix(rng, rows, cols):
    return [series(rng, cols) for _ in range(rows)]


def buffers(m):
    return [array.array("d", row) for row in m]


def calls():
    rng = random.Random(20240611)
    data = matrix(rng, 307, 13)
    data[5][3] = float("nan")  # one incomplete observation, dropped by the estimators
    wide = matrix(rng, 61, 45)
    x, y = series(rng, 5003), series(rng, 5003)
    y = [a * 0.6 + b for a, b in zip(x, y)]
    cov = valmora.sample_covariance_matrix(data, 252.0)
    vol = [abs(v) * 10.0 + 0.05 for v in series(rng, 13)]
    weights = series(rng, 301, 1.0)
    loadings = matrix(rng, 301, 7)
    factor_cov = valmora.sample_covariance_matrix(matrix(rng, 50, 7), 1.0)
    specific = [abs(v) for v in series(rng, 301, 0.001)]
    volume = [rng.random() * 1000.0 for _ in range(391)]

    for name, m in (("data", data), ("wide", wide)):
        for kind, arg in (("list", m), ("buffer", buffers(m))):
            yield f"sample_covariance_matrix {name} {kind}", valmora.sample_covariance_matrix(arg, 252.0)
            yield f"ledoit_wolf_covariance_matrix {name} {kind}", valmora.ledoit_wolf_covariance_matrix(arg, 252.0)
            yield f"oas_covariance_matrix {name} {kind}", valmora.oas_covariance_matrix(arg, 252.0)
    yield "covariance_to_correlation", valmora.covariance_to_correlation(cov)
    yield "correlation_to_covariance", valmora.correlation_to_covariance(valmora.covariance_to_correlation(cov), vol)
    yield "factor_risk_decomposition", valmora.factor_risk_decomposition(weights, loadings, factor_cov, specific)
    yield "factor_risk_decomposition buffer", valmora.factor_risk_decomposition(
        array.array("d", weights), buffers(loadings), factor_cov, array.array("d", specific))
    for window in (2, 20, 252):
        yield f"rolling_correlation w{window}", valmora.rolling_correlation(x, y, window)
    yield "rolling_correlation buffer", valmora.rolling_correlation(array.array("d", x), memoryview(array.array("d", y)), 63)
    yield "cointegration_spread", valmora.cointegration_spread(y, x)
    for bins, lag in ((2, 1), (4, 1), (8, 3)):
        yield f"transfer_entropy b{bins} l{lag}", valmora.transfer_entropy(x, y, bins, lag)
    yield "twap_schedule", valmora.twap_schedule(1234.5, 97)
    yield "vwap_schedule", valmora.vwap_schedule(1234.5, volume)
    yield "vwap_schedule buffer", valmora.vwap_schedule(1234.5, array.array("d", volume))
    yield "almgren_chriss_market_impact", valmora.almgren_chriss_market_impact(25000.0, 0.02, 1.5e6, 0.0004, 0.1, 0.05)
    for risk_aversion in (0.0, 1e-6, 0.5):
        yield f"optimal_execution_trajectory {risk_aversion}", valmora.optimal_execution_trajectory(1e5, 64, risk_aversion)


if __name__ == "__main__":
    for label, result in calls():
        print(label, json.dumps(encode(result)))
