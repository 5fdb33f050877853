"""A tour of valmora on synthetic market data (fixed seed, nothing downloaded).

Run:  python examples/tour.py [--figures DIR]

Prints a report that uses every function. With matplotlib installed it also writes PNG figures into
DIR (default: ./figures). numpy is optional too: when present, the tour shows that numpy arrays give
the same bits as lists.
"""

import argparse
import math
import pathlib
import random

import valmora

TRADING_DAYS = 252
SEED = 20261207

# ---------------------------------------------------------------------------------------------------
# Synthetic market: a dozen assets driven by a market factor and three sector factors.
ASSETS = ["TECH_A", "TECH_B", "TECH_C", "BANK_A", "BANK_B", "BANK_C",
          "ENGY_A", "ENGY_B", "ENGY_C", "UTIL_A", "UTIL_B", "SMALL"]
FACTORS = ["market", "tech", "banks", "energy"]
MARKET_BETA = [1.30, 1.20, 1.10, 1.05, 1.00, 0.95, 0.90, 0.85, 0.80, 0.50, 0.45, 0.70]
SECTOR = [1, 1, 1, 2, 2, 2, 3, 3, 3, None, None, None]
FACTOR_VOL = [0.010, 0.007, 0.006, 0.009]  # daily standard deviation of each factor return
SPECIFIC_VOL = [0.012, 0.011, 0.013, 0.008, 0.009, 0.010, 0.011, 0.012, 0.010, 0.006, 0.007, 0.015]
MARKET_DRIFT = 0.0003
# SMALL trades thinly: half of yesterday's market move reaches its price only today.
STALE_SHARE = 0.5


def loadings():
    rows = []
    for beta, sector in zip(MARKET_BETA, SECTOR):
        rows.append([beta] + [1.0 if sector == k else 0.0 for k in (1, 2, 3)])
    return rows


def simulate_returns(rng, days):
    """Daily simple returns, one row per day, one column per asset."""
    rows, yesterday_market = [], 0.0
    for _ in range(days):
        factors = [rng.gauss(MARKET_DRIFT if k == 0 else 0.0, vol) for k, vol in enumerate(FACTOR_VOL)]
        row = []
        for i, (beta, sector) in enumerate(zip(MARKET_BETA, SECTOR)):
            market_part = beta * factors[0]
            if ASSETS[i] == "SMALL":
                market_part = beta * ((1 - STALE_SHARE) * factors[0] + STALE_SHARE * yesterday_market)
            sector_part = factors[sector] if sector is not None else 0.0
            row.append(market_part + sector_part + rng.gauss(0.0, SPECIFIC_VOL[i]))
        yesterday_market = factors[0]
        rows.append(row)
    return rows


def simulate_pair(rng, days):
    """Two prices tied by y = 5 + 1.5 x + a mean-reverting (AR(1), phi 0.9) error."""
    x, y, error = [100.0], [], 0.0
    for t in range(days):
        if t:
            x.append(x[-1] * math.exp(rng.gauss(0.0002, 0.012)))
        error = 0.9 * error + rng.gauss(0.0, 0.5)
        y.append(5.0 + 1.5 * x[t] + error)
    return x, y


def intraday_volume_curve(buckets):
    """Expected share of daily volume per bucket: heavy at the open and the close (a U shape)."""
    centre = (buckets - 1) / 2
    return [1.0 + 2.0 * (((k - centre) / centre) * ((k - centre) / centre)) for k in range(buckets)]


# ---------------------------------------------------------------------------------------------------
# Report helpers.
def heading(text):
    print()
    print(text)
    print("=" * len(text))


def table(header, rows, formats, first_width=8):
    """Print rows under a header, first column left-aligned, the others right-aligned."""
    widths = [max(first_width, len(header[0]))] + [max(9, len(h)) for h in header[1:]]
    print(f"{header[0]:<{widths[0]}}" + "".join(f" {h:>{w}}" for h, w in zip(header[1:], widths[1:])))
    for row in rows:
        cells = [f"{row[0]:<{widths[0]}}"]
        for value, fmt, w in zip(row[1:], formats, widths[1:]):
            cells.append(f" {format(value, fmt):>{w}}")
        print("".join(cells))


# The tour's own sums use math.fsum (correctly rounded), whose bits no Python version changes, and
# squares are products rather than pow.
def std(values):
    m = mean(values)
    return math.sqrt(math.fsum((v - m) * (v - m) for v in values) / (len(values) - 1))


def mean(values):
    return math.fsum(values) / len(values)


# ---------------------------------------------------------------------------------------------------
def run(figures_dir):
    rng = random.Random(SEED)
    days = 3 * TRADING_DAYS
    returns = simulate_returns(rng, days)
    returns[100][3] = float("nan")  # a missing print: that whole day is left out of every estimate
    n = len(ASSETS)
    results = {}

    print("valmora tour: synthetic market data, seed", SEED)
    print(f"{n} assets x {days} trading days of daily returns from a 4-factor model, "
          "an intraday volume curve and a cointegrated pair.")

    # ---------------------------------------------------------------- covariance
    heading("1. Covariance of daily returns, annualised (x 252)")
    sample = valmora.sample_covariance_matrix(returns, TRADING_DAYS)
    lw, lw_intensity = valmora.ledoit_wolf_covariance_matrix(returns, TRADING_DAYS)
    oas, oas_intensity = valmora.oas_covariance_matrix(returns, TRADING_DAYS)
    print("Annualised volatility = sqrt(diagonal). Shrinkage pulls the sample estimate towards a scaled")
    print("identity; the intensity (0 = sample, 1 = identity) is chosen from the data.\n")
    table(["asset", "sample", "Ledoit-W", "OAS"],
          [[a, math.sqrt(sample[i][i]), math.sqrt(lw[i][i]), math.sqrt(oas[i][i])] for i, a in enumerate(ASSETS)],
          [".1%", ".1%", ".1%"])
    print(f"\nshrinkage intensity: Ledoit-Wolf {lw_intensity:.4f}, OAS {oas_intensity:.4f} "
          f"(day 101 dropped: it holds a NaN)")
    results.update(sample=sample, lw=lw, oas=oas, lw_intensity=lw_intensity, oas_intensity=oas_intensity)

    heading("2. Correlation, and back to covariance")
    corr = valmora.covariance_to_correlation(sample)
    table(["corr"] + ASSETS, [[a] + row for a, row in zip(ASSETS, corr)], [".2f"] * n)
    vols = [math.sqrt(sample[i][i]) for i in range(n)]
    back = valmora.correlation_to_covariance(corr, vols)
    worst = max(abs(a - b) for r, s in zip(back, sample) for a, b in zip(r, s))
    print(f"\ncorrelation x volatilities reproduces the covariance to within {worst:.1e} (annualised variance)")

    # ---------------------------------------------------------------- portfolio risk
    heading("3. Factor risk of a sector-tilted portfolio (annualised)")
    weights = [0.12, 0.12, 0.10, 0.09, 0.09, 0.08, 0.08, 0.07, 0.07, 0.06, 0.06, 0.06]
    factor_cov = [[(FACTOR_VOL[i] * FACTOR_VOL[i]) * TRADING_DAYS if i == j else 0.0 for j in range(4)] for i in range(4)]
    specific = [(v * v) * TRADING_DAYS for v in SPECIFIC_VOL]
    total, factor, specific_var, contributions = valmora.factor_risk_decomposition(
        weights, loadings(), factor_cov, specific)
    realised = math.fsum(weights[i] * sample[i][j] * weights[j] for i in range(n) for j in range(n))
    table(["part", "variance", "share", "vol"],
          [["total", total, 1.0, f"{math.sqrt(total):.2%}"],
           ["factor", factor, factor / total, f"{math.sqrt(factor):.2%}"],
           ["specific", specific_var, specific_var / total, f"{math.sqrt(specific_var):.2%}"]]
          + [[f"  {name}", c, c / total, ""] for name, c in zip(FACTORS, contributions)],
          [".5f", ".1%", ""], first_width=10)
    print(f"\nmodel volatility {math.sqrt(total):.2%} a year; the sample covariance gives "
          f"{math.sqrt(realised):.2%} for the same weights.")
    results.update(risk=(total, factor, specific_var, contributions))

    # ---------------------------------------------------------------- execution
    buckets, order = 13, 50_000.0
    heading(f"4. Working {order:,.0f} shares over one day in {buckets} half-hour buckets")
    curve = intraday_volume_curve(buckets)
    twap = valmora.twap_schedule(order, buckets)
    vwap = valmora.vwap_schedule(order, curve)
    aversions = [0.0, 1.0, 3.0, 8.0]
    trajectories = {k: valmora.optimal_execution_trajectory(order, buckets, k) for k in aversions}
    # Bucket k ends 30 (k + 1) minutes after the 09:30 open.
    times = [f"{9 + (60 + 30 * k) // 60:02d}:{(60 + 30 * k) % 60:02d}" for k in range(buckets)]
    print("Shares traded per bucket by TWAP, VWAP and optimal_execution_trajectory's exponential decay (an")
    print("approximation of the Almgren-Chriss optimum) for four values of risk_aversion.")
    print("risk_aversion is a unitless urgency, the exponent of the decay over the whole day: 0 is TWAP,")
    print("8 sells about two thirds of the order in the first eighth of the day. An Almgren-Chriss lambda")
    print("(per unit of currency) passed as-is gives nearly TWAP; convert it to T * sqrt(lambda sigma^2 / eta).\n")
    table(["ends", "TWAP", "VWAP"] + [f"risk_aversion={k:g}" for k in aversions],
          [[t, twap[i], vwap[i]] + [trajectories[k][1][i] for k in aversions] for i, t in enumerate(times)],
          [",.0f"] * (2 + len(aversions)), first_width=6)

    price, daily_volume, daily_vol, spread = 50.0, 2_000_000.0, 0.02 * 50.0, 0.01
    temporary_impact, permanent_impact = 0.1, 0.5
    print(f"\nAlmgren-Chriss cost at price {price:.2f}, daily volume {daily_volume:,.0f} shares, spread {spread:.2f},")
    print(f"daily volatility {daily_vol:.2f} (2% of the price, in price units), temporary_impact "
          f"{temporary_impact:g}, permanent_impact {permanent_impact:g}.")
    print(f"Per share: half the spread, a temporary concession of {temporary_impact:g} x volatility x "
          f"participation and a")
    print(f"permanent move of {permanent_impact:g} x volatility x sqrt(participation); "
          f"participation = order / daily volume.")
    rows = []
    for q in (5_000.0, 50_000.0, 200_000.0, -200_000.0):
        s, tmp, perm, cost = valmora.almgren_chriss_market_impact(q, daily_vol, daily_volume, spread,
                                                                 temporary_impact, permanent_impact)
        rows.append([f"{q:+,.0f}", abs(q) / daily_volume, s, tmp, perm, cost, cost / (abs(q) * price) * 1e4])
    table(["order", "particip.", "spread", "temporary", "permanent", "total", "bps"], rows,
          [".2%", ",.1f", ",.1f", ",.1f", ",.1f", ".2f"], first_width=9)
    print("costs in currency (price units x shares); a sell costs the same as a buy of the same size.")
    results.update(curve=curve, twap=twap, vwap=vwap, trajectories=trajectories, times=times, order=order)

    # ---------------------------------------------------------------- pairs
    heading("5. A cointegrated pair over two years")
    x_price, y_price = simulate_pair(rng, 2 * TRADING_DAYS)
    beta, alpha, spread_series = valmora.cointegration_spread(y_price, x_price)
    sd = std(spread_series)
    z = spread_series[-1] / sd
    print(f"hedge ratio beta {beta:.4f} (true 1.5), intercept alpha {alpha:.3f} (true 5)")
    mean_x, mean_error = mean(x_price), mean([y - 5.0 - 1.5 * x for x, y in zip(x_price, y_price)])
    print(f"alpha = mean(y) - beta x mean(x) extrapolates the fit to an x price of 0, far from the prices seen")
    print(f"({min(x_price):.0f} to {max(x_price):.0f}). Its error, alpha - 5 = (1.5 - beta) x mean(x) + mean(error) "
          f"= {1.5 - beta:.4f} x {mean_x:.1f} {'-' if mean_error < 0 else '+'} {abs(mean_error):.3f},")
    gap = max(abs((alpha - 5.0) + (beta - 1.5) * x) for x in x_price)
    print(f"is mostly the small beta error times the mean price. Over the prices seen the fitted line is within")
    print(f"{gap:.3f} of the true one, and within {abs(mean_error):.3f} (the mean of the simulated error) at the "
          f"mean price:")
    print("read alpha with beta, never alone.")
    print(f"spread: standard deviation {sd:.3f} price units, today {spread_series[-1]:+.3f} "
          f"(z-score {z:+.2f}); {sum(abs(s) > 2 * sd for s in spread_series)} days beyond 2 sd")
    x_ret = [x_price[t] / x_price[t - 1] - 1 for t in range(1, len(x_price))]
    y_ret = [y_price[t] / y_price[t - 1] - 1 for t in range(1, len(y_price))]
    window = 63
    rolling = valmora.rolling_correlation(x_ret, y_ret, window)
    month = 21
    rolling_month = valmora.rolling_correlation(x_ret, y_ret, month)
    full = [r for r in rolling if r == r]
    print(f"{window}-day rolling correlation of daily returns: {len(rolling) - len(full)} leading NaN "
          f"(no full window yet), then min {min(full):.3f}, mean {mean(full):.3f}, max {max(full):.3f}")
    results.update(pair=(x_price, y_price, beta, alpha, spread_series, sd), rolling=rolling, window=window,
                   rolling_month=rolling_month, month=month)

    heading("6. Transfer entropy between assets (nats, 4 quantile bins, 1-day lag)")
    # Day 101 is left out: transfer entropy does not drop a NaN, it puts it on the lowest symbol.
    columns = [[row[i] for row in returns if row[3] == row[3]] for i in range(n)]
    length = len(columns[0])
    te = [[0.0 if i == j else valmora.transfer_entropy(columns[i], columns[j], 4, 1) for j in range(n)]
          for i in range(n)]
    # Each pair against its own floor: the same call with the source shuffled, which keeps its
    # values and breaks the order through which it could tell anything about the target. Each
    # source's shuffled copies serve every target.
    copies, shuffle_rng = 100, random.Random(SEED + 2)
    floors = [[[] for _ in range(n)] for _ in range(n)]
    for i in range(n):
        shuffled = list(columns[i])
        for _ in range(copies):
            shuffle_rng.shuffle(shuffled)
            for j in range(n):
                if j != i:
                    floors[i][j].append(valmora.transfer_entropy(shuffled, columns[j], 4, 1))
    z = [[0.0 if i == j else (te[i][j] - mean(floors[i][j])) / std(floors[i][j]) for j in range(n)]
         for i in range(n)]
    print("How much today's return of the source tells about tomorrow's return of the target beyond")
    print("the target's own today. SMALL reacts to yesterday's market a day late.")
    print("This is the per-position weighted estimator: a state met c times adds c equal terms. It is not")
    print(f"bounded by ln(4) = {math.log(4):.2f} and it is far from zero where nothing flows (about 0.8 nats on")
    print(f"independent series), so a value in nats says little alone. Each pair is read against its own")
    print(f"floor: the same call on {copies} shuffled copies of the source. z = (nats - floor mean) / floor sd;")
    print(f"a flow stands several sd above its floor. With {n * (n - 1)} pairs, a few reach z 2 to 3 by chance.")
    print("Only values at equal length and equal bins compare, as all here do.\n")
    ranked = sorted(((z[i][j], ASSETS[i], ASSETS[j], te[i][j], mean(floors[i][j])) for i in range(n) for j in range(n)
                     if i != j), reverse=True)
    table(["source", "target", "nats", "floor", "z"], [[s, t, v, f, zz] for zz, s, t, v, f in ranked[:6]],
          ["", ".4f", ".4f", "+.1f"])
    into_small = mean([z[i][n - 1] for i in range(n - 1)])
    elsewhere = mean([z[i][j] for i in range(n - 1) for j in range(n - 1) if i != j])
    print(f"\nmean z into SMALL {into_small:+.2f}, mean z between the other assets {elsewhere:+.2f}")
    results.update(te=te, te_z=z, te_copies=copies, te_length=length)

    # ---------------------------------------------------------------- inputs
    heading("7. Inputs: lists, tuples, array.array and numpy arrays give the same bits")
    try:
        import numpy as np
    except ImportError:
        print("numpy is not installed: lists, tuples and array.array work the same way.")
    else:
        same = valmora.sample_covariance_matrix(np.array(returns), TRADING_DAYS) == sample
        same_ts = valmora.rolling_correlation(np.array(x_ret), np.array(y_ret), window)
        same_ts = all(a == b or (a != a and b != b) for a, b in zip(same_ts, rolling))
        print(f"numpy {np.__version__}: covariance identical {same}, rolling correlation identical {same_ts}")
    print(valmora.Example("every number above is bit-for-bit reproducible on any machine, the C library's exp, log "
                          "and cos aside (the random draws use log and cos)"))
    return results


# ---------------------------------------------------------------------------------------------------
def write_figures(results, folder):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    folder.mkdir(parents=True, exist_ok=True)
    written = []

    def save(fig, name):
        path = folder / name
        fig.savefig(path, dpi=110, bbox_inches="tight")
        plt.close(fig)
        written.append(path)

    from matplotlib.ticker import FuncFormatter

    def heatmap_scale(matrices):
        """Sequential from 0 when every value is positive; centred on 0 only where negatives occur."""
        low = min(min(row) for m in matrices for row in m)
        high = max(max(row) for m in matrices for row in m)
        if low >= 0.0:
            return dict(cmap="viridis", vmin=0.0, vmax=high)
        top = max(-low, high)
        return dict(cmap="RdBu_r", vmin=-top, vmax=top)

    def label_assets(ax):
        ax.set_xticks(range(n), ASSETS, rotation=90, fontsize=8)
        ax.set_yticks(range(n), ASSETS, fontsize=8)

    n = len(ASSETS)
    # Covariance: the sample estimate, then what each shrinkage estimator changed in it (at an
    # intensity near 0.01 the shrunk matrices would look the same as the sample one), then how far
    # the two estimators are from each other.
    sample, lw, oas = results["sample"], results["lw"], results["oas"]
    lw_change = [[a - b for a, b in zip(r, s)] for r, s in zip(lw, sample)]
    oas_change = [[a - b for a, b in zip(r, s)] for r, s in zip(oas, sample)]
    between = [[a - b for a, b in zip(r, s)] for r, s in zip(oas, lw)]
    lw_k, oas_k = results["lw_intensity"], results["oas_intensity"]
    fig, axes = plt.subplots(1, 4, figsize=(22, 7), layout="compressed")
    image = axes[0].imshow(sample, **heatmap_scale([sample]))
    axes[0].set_title("Sample covariance\n(annualised)", fontsize=15, fontweight="bold")
    fig.colorbar(image, ax=axes[0], shrink=0.8, location="bottom", label="covariance (1/year)")
    change_scale = heatmap_scale([lw_change, oas_change])
    for ax, title, m in ((axes[1], f"Ledoit-Wolf minus sample\nintensity {lw_k:.4f}", lw_change),
                         (axes[2], f"OAS minus sample\nintensity {oas_k:.4f}", oas_change)):
        image = ax.imshow(m, **change_scale)
        ax.set_title(title, fontsize=15, fontweight="bold")
    fig.colorbar(image, ax=axes[1:3], shrink=0.8, location="bottom", aspect=40,
                 label="change = intensity x (target - sample) (1/year): variances towards their mean, "
                       "covariances towards 0", format=FuncFormatter(lambda v, _: f"{v:.4f}"))
    image = axes[3].imshow(between, **heatmap_scale([between]))
    axes[3].set_title("OAS minus Ledoit-Wolf\n(note its own, finer scale)", fontsize=15, fontweight="bold")
    fig.colorbar(image, ax=axes[3], shrink=0.8, location="bottom", label="difference (millionths, 1/year)",
                 format=FuncFormatter(lambda v, _: f"{v * 1e6:.0f}"))
    for ax in axes:
        label_assets(ax)
    fig.suptitle(f"What shrinkage changed: at intensity {lw_k:.4f} (Ledoit-Wolf) and {oas_k:.4f} (OAS), each entry "
                 f"moves about 1% of the way to the target, at most {max(abs(v) for r in lw_change for v in r):.4f} "
                 f"beside variances up to {max(sample[i][i] for i in range(n)):.3f}",
                 fontsize=14, y=1.04)
    save(fig, "covariance_heatmaps.png")

    # Factor and specific risk.
    total, factor, specific_var, contributions = results["risk"]
    fig, (left, right) = plt.subplots(1, 2, figsize=(12.5, 5), constrained_layout=True,
                                      gridspec_kw=dict(width_ratios=[1, 2]))
    # Variances add, volatilities do not: one bar, the factor and specific variances stacked, and a
    # volatility only for the whole.
    left.bar(["portfolio"], [factor], color="#1f77b4", width=0.5, label=f"factor variance {factor:.4f}")
    left.bar(["portfolio"], [specific_var], bottom=[factor], color="#ff7f0e", width=0.5,
             label=f"specific variance {specific_var:.4f}")
    left.text(0, total * 1.02, f"total variance {total:.4f}\nvolatility sqrt(total) = {math.sqrt(total):.1%}",
              ha="center", va="bottom")
    left.set_xlim(-0.8, 0.8)
    left.set_ylabel("annualised variance (return² per year)")
    left.set_title("Portfolio variance = factor + specific\n(variances add; their square roots do not)")
    left.set_ylim(0, total * 1.3)
    left.legend(loc="upper right", fontsize=9)
    names = FACTORS + ["specific"]
    shares = [c / total for c in contributions] + [specific_var / total]
    bars = right.barh(names, shares, color=["#1f77b4"] * len(FACTORS) + ["#ff7f0e"])
    right.bar_label(bars, labels=[f"{s:.1%}" for s in shares], padding=5)
    right.set_xlabel("share of total variance (the bars add up to 100%)")
    right.set_title("Where the variance comes from: four factors and specific risk")
    right.invert_yaxis()
    right.set_xlim(0, max(shares) * 1.18)
    right.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:.0%}"))
    save(fig, "factor_risk.png")

    # Execution trajectories.
    order, times = results["order"], results["times"]
    steps = list(range(len(times) + 1))
    shares_axis = FuncFormatter(lambda v, _: f"{v:,.0f}")
    fig, (left, right) = plt.subplots(1, 2, figsize=(14, 5.2), constrained_layout=True)
    colours = {0.0: "#9ecae1", 1.0: "#ff7f0e", 3.0: "#2ca02c", 8.0: "#d62728"}
    for aversion, (holdings, trades) in results["trajectories"].items():
        # The risk_aversion=0 path is TWAP: drawn wide and pale under TWAP's dashes so both show.
        style = dict(lw=6, alpha=0.8, solid_capstyle="round") if aversion == 0 else dict(lw=1.8, marker="o", ms=3)
        label = f"exponential decay, risk_aversion={aversion:g}" + (" (same as TWAP)" if aversion == 0 else "")
        left.plot(steps, holdings, color=colours.get(aversion), label=label, **style)
        right.plot(steps[1:], trades, color=colours.get(aversion), label=label, **style)
    for name, schedule, style in (("TWAP", results["twap"], "k--"), ("VWAP", results["vwap"], "k:")):
        remaining = [order]
        for q in schedule:
            remaining.append(remaining[-1] - q)
        left.plot(steps, remaining, style, lw=1.6, label=name)
        right.plot(steps[1:], schedule, style, lw=1.6, label=name)
    # The textbook Almgren-Chriss path of the same urgency, sinh(k (1 - t)) / sinh(k), which the
    # exponential decay approximates (a few per cent of the order apart at most).
    k = 3.0
    textbook = [order * math.sinh(k * (1 - j / (len(steps) - 1))) / math.sinh(k) for j in steps]
    left.plot(steps, textbook, color=colours[k], ls=(0, (1, 1)), lw=2.5,
              label=f"textbook Almgren-Chriss (sinh) path, urgency {k:g}")
    left.set_xticks(steps, ["09:30"] + times, rotation=60, fontsize=8)
    left.set_xlabel("time of day (09:30 open, then the end of each half-hour bucket)")
    right.set_xticks(steps[1:], times, rotation=60, fontsize=8)
    right.set_xlabel("time of day (end of half-hour bucket)")
    for ax in (left, right):
        ax.yaxis.set_major_formatter(shares_axis)
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8)
    left.set_ylabel("shares still to trade")
    left.set_title(f"Remaining inventory of a {order:,.0f}-share order:\n"
                   "optimal_execution_trajectory's exponential decay, TWAP and VWAP")
    right.set_ylabel("shares traded in the bucket")
    right.set_title("Trades per bucket\n(the exponential decay approximates the Almgren-Chriss optimum)")
    save(fig, "execution_trajectories.png")

    # Rolling correlation of the pair.
    rolling, window = results["rolling"], results["window"]
    fig, ax = plt.subplots(figsize=(11, 4.2), constrained_layout=True)
    month = results["month"]
    ax.plot(range(1, len(rolling) + 1), results["rolling_month"], lw=0.9, label=f"{month}-day window")
    ax.plot(range(1, len(rolling) + 1), rolling, lw=2, label=f"{window}-day window")
    # Day d holds the window ending on it: a w-day window has NaN on days 1 ... w - 1.
    ax.axvspan(0.5, month - 0.5, color="grey", alpha=0.35,
               label=f"days 1-{month - 1}: no full {month}-day window yet (both NaN)")
    ax.axvspan(month - 0.5, window - 0.5, color="C1", alpha=0.15,
               label=f"days {month}-{window - 1}: no full {window}-day window yet ({window}-day NaN)")
    ax.set_xlabel("trading day")
    ax.set_ylabel("Pearson correlation (dimensionless)")
    ax.set_title("Rolling correlation of daily returns, y against x: the cointegrated pair of section 5 "
                 "(y = 5 + 1.5 x + an AR(1) error)")
    # The axis starts at 0 (at -1 if a value is negative), so a dip is drawn at its true size.
    shown = [v for series in (results["rolling_month"], rolling) for v in series if v == v]
    ax.set_ylim(-1.0 if min(shown) < 0.0 else 0.0, 1.0)
    ax.grid(alpha=0.3)
    ax.legend(loc="lower right")
    save(fig, "rolling_correlation.png")

    # Cointegration spread with bands.
    x_price, y_price, beta, alpha, spread_series, sd = results["pair"]
    fig = plt.figure(figsize=(12, 8), constrained_layout=True)
    grid = fig.add_gridspec(2, 2, width_ratios=[3, 2])
    prices_ax, scatter_ax, bottom = fig.add_subplot(grid[0, 0]), fig.add_subplot(grid[0, 1]), fig.add_subplot(grid[1, :])
    days = range(len(spread_series))
    prices_ax.plot(days, y_price, label="y price")
    prices_ax.plot(days, x_price, label="x price")
    prices_ax.set_xlabel("trading day")
    prices_ax.set_ylabel("price (currency)")
    prices_ax.set_title("The two prices: they wander, and together")
    prices_ax.legend()
    prices_ax.grid(alpha=0.3)
    scatter_ax.scatter(x_price, y_price, s=5, alpha=0.5, label="one day")
    ends = [min(x_price), max(x_price)]
    scatter_ax.plot(ends, [alpha + beta * x for x in ends], color="C3", lw=2,
                    label=f"least squares: {alpha:.2f} + {beta:.3f} x")
    scatter_ax.plot(ends, [5.0 + 1.5 * x for x in ends], color="k", ls="--", lw=1, label="true: 5 + 1.5 x")
    scatter_ax.set_xlabel("x price")
    scatter_ax.set_ylabel("y price")
    scatter_ax.set_title("y against x, and the least-squares line")
    scatter_ax.legend(fontsize=9)
    scatter_ax.grid(alpha=0.3)
    bottom.plot(days, spread_series, lw=1, label="spread (centred residual)")
    bottom.axhline(0.0, color="k", lw=0.8)
    for k, style in ((2, "--"), (-2, "--")):
        bottom.axhline(k * sd, color="red", ls=style, lw=1, label="±2 standard deviations" if k > 0 else None)
    bottom.fill_between(days, -2 * sd, 2 * sd, color="red", alpha=0.06)
    bottom.set_xlabel("trading day")
    bottom.set_ylabel("spread (price units of y)")
    bottom.set_title(f"Cointegration spread: y minus the line, centred; standard deviation {sd:.3f}")
    bottom.legend(loc="upper left")
    bottom.grid(alpha=0.3)
    save(fig, "cointegration_spread.png")

    # Transfer entropy, each pair as z against its own shuffle floor: in nats most cells are the
    # estimator's noise, which differs from pair to pair.
    z = [[float("nan") if i == j else v for j, v in enumerate(row)] for i, row in enumerate(results["te_z"])]
    top = max(3.0, max(abs(v) for row in z for v in row if v == v))
    fig, ax = plt.subplots(figsize=(8.5, 7.6), constrained_layout=True)
    image = ax.imshow(z, cmap="RdBu_r", vmin=-top, vmax=top)
    for i in range(n):
        for j in range(n):
            if i != j:
                ax.text(j, i, f"{z[i][j]:.1f}".replace("-0.0", "0.0"), ha="center", va="center", fontsize=7,
                        color="white" if abs(z[i][j]) > 0.6 * top else "black")
            if i != j and z[i][j] >= 3.0:
                ax.add_patch(plt.Rectangle((j - 0.5, i - 0.5), 1, 1, fill=False, edgecolor="black", lw=2))
    label_assets(ax)
    ax.set_xlabel("target asset (return tomorrow)\n"
                  "blank diagonal: source = target is not computed; boxed: z >= 3", fontsize=9)
    ax.set_ylabel("source asset (return today)")
    ax.set_title("Transfer entropy source → target against each pair's own floor (4 bins, lag 1 day)\n"
                 f"z = (nats - mean) / sd of the same call on {results['te_copies']} shuffled copies of the "
                 f"source, {results['te_length']} days;\nonly SMALL, which follows yesterday's market, "
                 f"stands out; with {n * (n - 1)} pairs a few reach 2 to 3 by chance", fontsize=10)
    bar = fig.colorbar(image, ax=ax, shrink=0.85)
    bar.set_label("z against the pair's own shuffle floor (0: no flow shows)")
    save(fig, "transfer_entropy.png")
    return written


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--figures", type=pathlib.Path, default=pathlib.Path("figures"), metavar="DIR",
                        help="folder for the PNG figures (default: ./figures)")
    parser.add_argument("--no-figures", action="store_true", help="print the report only")
    args = parser.parse_args(argv)
    results = run(args.figures)
    heading("Figures")
    if args.no_figures:
        print("skipped (--no-figures)")
        return
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print(f"matplotlib is not installed, so no figures were drawn. Install it with\n"
              f"    python -m pip install matplotlib      (or: python -m pip install '.[demo]')\n"
              f"and run the tour again to have them written to {args.figures}/")
        return
    for path in write_figures(results, args.figures):
        print(f"wrote {path}")


if __name__ == "__main__":
    main()
