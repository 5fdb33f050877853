"""The module's function table as callers see it: parameter names, kinds and one valid call each."""

import math

# name -> [(parameter, kind)], in registration order. Kinds: real, size, vector, matrix.
TABLE = {
    "sample_covariance_matrix": [("data", "matrix"), ("frequency", "real")],
    "ledoit_wolf_covariance_matrix": [("data", "matrix"), ("frequency", "real")],
    "oas_covariance_matrix": [("data", "matrix"), ("frequency", "real")],
    "covariance_to_correlation": [("covariance", "matrix")],
    "correlation_to_covariance": [("correlation", "matrix"), ("volatility", "vector")],
    "rolling_correlation": [("x", "vector"), ("y", "vector"), ("window", "size")],
    "cointegration_spread": [("y", "vector"), ("x", "vector")],
    "transfer_entropy": [("source", "vector"), ("target", "vector"), ("bins", "size"), ("lag", "size")],
    "twap_schedule": [("total_quantity", "real"), ("periods", "size")],
    "vwap_schedule": [("total_quantity", "real"), ("volume_curve", "vector")],
    "almgren_chriss_market_impact": [
        ("quantity", "real"), ("volatility", "real"), ("daily_volume", "real"),
        ("spread", "real"), ("temporary_impact", "real"), ("permanent_impact", "real"),
    ],
    "optimal_execution_trajectory": [("total_quantity", "real"), ("periods", "size"), ("risk_aversion", "real")],
    "factor_risk_decomposition": [
        ("weights", "vector"), ("factor_loadings", "matrix"),
        ("factor_covariance", "matrix"), ("specific_variance", "vector"),
    ],
}

# One successful call per function, by position.
VALID = {
    "sample_covariance_matrix": ([[1.0, 2.0], [3.0, 6.0], [2.0, 5.0]], 252.0),
    "ledoit_wolf_covariance_matrix": ([[1.0, 2.0], [3.0, 6.0], [2.0, 5.0]], 252.0),
    "oas_covariance_matrix": ([[1.0, 2.0], [3.0, 6.0], [2.0, 5.0]], 252.0),
    "covariance_to_correlation": ([[4.0, 2.0], [2.0, 9.0]],),
    "correlation_to_covariance": ([[1.0, 0.5], [0.5, 1.0]], [0.1, 0.2]),
    "rolling_correlation": ([1.0, 2.0, 3.0, 4.0], [2.0, 1.0, 4.0, 3.0], 2),
    "cointegration_spread": ([3.0, 5.0, 4.0], [1.0, 2.0, 3.0]),
    "transfer_entropy": ([0.1, 0.9, 0.2, 0.8, 0.7], [0.5, 0.1, 0.9, 0.2, 0.8], 2, 1),
    "twap_schedule": (100.0, 4),
    "vwap_schedule": (100.0, [1.0, 1.0, 2.0]),
    "almgren_chriss_market_impact": (1000.0, 0.02, 1e6, 0.01, 0.1, 0.5),
    "optimal_execution_trajectory": (100.0, 4, 1.0),
    "factor_risk_decomposition": ([0.5, 0.5], [[1.0, 0.2], [0.8, 0.1]], [[0.04, 0.01], [0.01, 0.09]], [0.01, 0.02]),
}

assert list(TABLE) == list(VALID)


def same(a, b):
    """Equal as results: floats compared bit for bit (NaN equals NaN), recursively."""
    if isinstance(a, float) and isinstance(b, float):
        if a != a or b != b:
            return a != a and b != b
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b
