"""valmora in typed code: every call below is checked by mypy against the valmora-stubs package.

Run:  python examples/typed_usage.py        (needs numpy)
Check: python -m mypy --strict examples/typed_usage.py
"""

from __future__ import annotations

import array

import numpy as np
import numpy.typing as npt

import valmora


def annualised_covariances(returns: npt.NDArray[np.float64]) -> dict[str, list[list[float]]]:
    sample = valmora.sample_covariance_matrix(returns, 252)
    lw, lw_intensity = valmora.ledoit_wolf_covariance_matrix(returns, 252.0)
    oas, oas_intensity = valmora.oas_covariance_matrix(returns.tolist(), np.float64(252))
    assert 0.0 <= lw_intensity <= 1.0 and 0.0 <= oas_intensity <= 1.0
    return {"sample": sample, "ledoit_wolf": lw, "oas": oas}


def correlation_round_trip(covariance: list[list[float]]) -> list[list[float]]:
    correlation = valmora.covariance_to_correlation(covariance)
    volatility = [row[i] ** 0.5 for i, row in enumerate(covariance)]
    return valmora.correlation_to_covariance(correlation, volatility)


def portfolio_risk(weights: npt.NDArray[np.float64], loadings: npt.NDArray[np.float64]) -> float:
    factor_cov = np.diag(np.full(loadings.shape[1], 0.04))
    specific = [0.01] * len(weights)
    total, factor, specific_var, contributions = valmora.factor_risk_decomposition(
        weights, loadings, factor_cov, specific
    )
    assert sum(contributions) == factor
    return total - specific_var


def schedules(order: float) -> tuple[list[float], list[float], list[float]]:
    twap = valmora.twap_schedule(order, 10)
    vwap = valmora.vwap_schedule(order, array.array("d", [3, 2, 1, 1, 2, 3]))
    holdings, trades = valmora.optimal_execution_trajectory(order, periods=10, risk_aversion=2.0)
    assert holdings[-1] == 0.0 and len(trades) == 10
    return twap, vwap, trades


def impact(order: int, price: float) -> float:
    # volatility in price units: the price's daily standard deviation, 2% a day of the price here
    # (1.0 on a 50.00 stock), not the return volatility 0.02.
    daily_volatility = 0.02 * price
    spread_cost, temporary, permanent, total = valmora.almgren_chriss_market_impact(
        order, daily_volatility, 2e6, 0.01, 0.1, 0.5
    )
    return total


def pair_statistics(x: npt.NDArray[np.float64], y: tuple[float, ...]) -> tuple[float, float, float]:
    rolling: list[float] = valmora.rolling_correlation(x, y, 20)
    beta, alpha, spread = valmora.cointegration_spread(y, x)
    te: float = valmora.transfer_entropy(x, y, bins=4, lag=1)
    return rolling[-1], beta, te


def main() -> None:
    rng = np.random.default_rng(7)
    returns = rng.normal(0.0, 0.01, size=(500, 4))
    covariances = annualised_covariances(returns)
    back = correlation_round_trip(covariances["sample"])
    print("largest round-trip difference:", max(abs(a - b) for r, s in zip(back, covariances["sample"]) for a, b in zip(r, s)))
    print("factor variance:", portfolio_risk(np.full(4, 0.25), rng.normal(1.0, 0.2, size=(4, 2))))
    print("first trades:", [round(t) for t in schedules(10_000.0)[2][:3]])
    print("impact cost:", impact(50_000, 50.0))
    x = rng.normal(size=300).cumsum()
    y = tuple(float(v) for v in 2.0 * x + rng.normal(size=300))
    print("pair:", pair_statistics(x, y))
    print(valmora.Example("typed"))


if __name__ == "__main__":
    main()
