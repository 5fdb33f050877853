"""A tour of valmora on synthetic market data (fixed seed, nothing downloaded).

Run:  python examples/tour.py
"""

import math
import random

import valmora

TRADING_DAYS = 252
rng = random.Random(20261207)


def heading(text):
    print()
    print(text)
    print("-" * len(text))


def show_matrix(names, m, fmt="{:9.4f}"):
    print(" " * 8 + "".join(f"{n:>9}" for n in names))
    for name, row in zip(names, m):
        print(f"{name:>8}" + "".join(fmt.format(v) for v in row))


# ---------------------------------------------------------------- market data
# Daily returns of six assets from a two-factor model (market and sector), three years.
assets = ["TECH_A", "TECH_B", "BANK_A", "BANK_B", "ENERGY", "UTIL"]
market_beta = [1.2, 1.1, 1.0, 0.9, 0.8, 0.5]
sector = [0, 0, 1, 1, 2, 2]
days = 3 * TRADING_DAYS
returns = []
for _ in range(days):
    market = rng.gauss(0.0003, 0.010)
    sectors = [rng.gauss(0.0, 0.006) for _ in range(3)]
    returns.append([b * market + sectors[s] + rng.gauss(0.0, 0.008) for b, s in zip(market_beta, sector)])
returns[100][2] = float("nan")  # a missing print: the whole observation is dropped

heading("Covariance of daily returns, annualised (x 252)")
sample = valmora.sample_covariance_matrix(returns, TRADING_DAYS)
show_matrix(assets, sample)
lw, lw_intensity = valmora.ledoit_wolf_covariance_matrix(returns, TRADING_DAYS)
oas, oas_intensity = valmora.oas_covariance_matrix(returns, TRADING_DAYS)
print(f"\nShrinkage towards a scaled identity: Ledoit-Wolf intensity {lw_intensity:.4f}, OAS {oas_intensity:.4f}")
vols = [math.sqrt(sample[i][i]) for i in range(len(assets))]
print("Annualised volatility: " + ", ".join(f"{a} {v:.1%}" for a, v in zip(assets, vols)))

heading("Correlation (from the sample covariance)")
corr = valmora.covariance_to_correlation(sample)
show_matrix(assets, corr, "{:9.3f}")
back = valmora.correlation_to_covariance(corr, vols)
print(f"Round trip back to covariance, largest difference: {max(abs(a - b) for r, s in zip(back, sample) for a, b in zip(r, s)):.2e}")

# ---------------------------------------------------------------- portfolio risk
heading("Factor risk of an equal-weight portfolio (annualised variance)")
weights = [1 / len(assets)] * len(assets)
loadings = [[b, 1.0 if s == 0 else 0.0, 1.0 if s == 1 else 0.0] for b, s in zip(market_beta, sector)]
factor_cov = [[0.010**2 * TRADING_DAYS, 0.0, 0.0], [0.0, 0.006**2 * TRADING_DAYS, 0.0], [0.0, 0.0, 0.006**2 * TRADING_DAYS]]
specific = [0.008**2 * TRADING_DAYS] * len(assets)
total, factor, specific_var, contributions = valmora.factor_risk_decomposition(weights, loadings, factor_cov, specific)
print(f"total {total:.5f} (volatility {math.sqrt(total):.1%}) = factor {factor:.5f} + specific {specific_var:.5f}")
for name, c in zip(["market", "tech", "banks"], contributions):
    print(f"  {name:<7} contributes {c:.5f} ({c / total:.0%} of the total)")

# ---------------------------------------------------------------- execution
heading("Executing 50,000 shares over 10 periods")
order, periods = 50_000.0, 10
twap = valmora.twap_schedule(order, periods)
u_shape = [1.0 + 1.5 * ((k - (periods - 1) / 2) / ((periods - 1) / 2)) ** 2 for k in range(periods)]
vwap = valmora.vwap_schedule(order, u_shape)
trajectories = {k: valmora.optimal_execution_trajectory(order, periods, k)[1] for k in (0.0, 1.0, 5.0)}
print("period" + "".join(f"{h:>11}" for h in ["TWAP", "VWAP", "kappa=0", "kappa=1", "kappa=5"]))
for i in range(periods):
    row = [twap[i], vwap[i]] + [trajectories[k][i] for k in (0.0, 1.0, 5.0)]
    print(f"{i + 1:>6}" + "".join(f"{v:11.0f}" for v in row))
spread_cost, temporary, permanent, cost = valmora.almgren_chriss_market_impact(
    order, 0.02, 2_000_000.0, 0.01, 0.1, 0.5)
print(f"\nAlmgren-Chriss cost of the whole order (price units x shares): spread {spread_cost:.1f}, "
      f"temporary {temporary:.1f}, permanent {permanent:.1f}, total {cost:.1f}")

# ---------------------------------------------------------------- pairs
heading("A cointegrated pair")
x_price, y_price = [100.0], []
spread_state = 0.0
for t in range(2 * TRADING_DAYS):
    if t:
        x_price.append(x_price[-1] * math.exp(rng.gauss(0.0002, 0.012)))
    spread_state = 0.9 * spread_state + rng.gauss(0.0, 0.5)
    y_price.append(5.0 + 1.5 * x_price[t] + spread_state)
beta, alpha, spread = valmora.cointegration_spread(y_price, x_price)
sd = math.sqrt(sum(s * s for s in spread) / (len(spread) - 1))
print(f"hedge ratio beta {beta:.4f}, intercept alpha {alpha:.3f}; spread std {sd:.3f}, last z-score {spread[-1] / sd:+.2f}")
x_ret = [x_price[t] / x_price[t - 1] - 1 for t in range(1, len(x_price))]
y_ret = [y_price[t] / y_price[t - 1] - 1 for t in range(1, len(y_price))]
rolling = valmora.rolling_correlation(x_ret, y_ret, 63)
print(f"63-day rolling correlation of returns: first full window {rolling[62]:.3f}, "
      f"last {rolling[-1]:.3f} ({sum(v != v for v in rolling)} leading NaN)")
lead = [rng.gauss(0, 1) for _ in range(1000)]
follow = [0.0] + [0.8 * lead[t - 1] + 0.6 * rng.gauss(0, 1) for t in range(1, 1000)]
print("Transfer entropy (nats, 4 quantile bins, lag 1) of a leader and a follower:")
print(f"  leader -> follower {valmora.transfer_entropy(lead, follow, 4, 1):.4f}")
print(f"  follower -> leader {valmora.transfer_entropy(follow, lead, 4, 1):.4f}")

print(f"\n{valmora.Example('valmora: every number above is bit-for-bit reproducible')}")
