"""A universe-scale pairs screen with valmora on dask.distributed.

For every pair of a synthetic universe (400 assets by default, 79,800 pairs) it computes the rolling
correlation of daily returns, the cointegration spread of the prices and its z-score today, and the
transfer entropy of the returns both ways, then prints the most stretched pairs, each transfer entropy
beside its own floor: the same call on shuffled copies of the source (transfer entropy is far from
zero where nothing flows, so a value means something only against that floor).

valmora's functions hold the interpreter lock while they work, so threads do not add speed: the pairs
are split into chunks that run on process workers. By default the script starts a LocalCluster on this
machine; give --scheduler tcp://host:8786 to use a running cluster (every worker needs valmora
installed; this script's own functions travel with the tasks).

Starting the cluster, importing dask and closing it again cost a second or two whatever the size, so
the default universe is large enough for two workers to win the whole command on two idle cores; at
200 assets one process ends first.

Run:  python examples/universe.py [--assets 400] [--workers 2] [--scheduler ADDRESS] [--serial] [--copies 100]
"""

import argparse
import array
import itertools
import math
import pickle
import random
import sys
import time

import valmora

SEED = 20261207


def make_prices(assets, days, seed=SEED):
    """Daily prices: assets come in clusters of four sharing one random-walk trend, so pairs inside a
    cluster are cointegrated and pairs across clusters are not."""
    rng = random.Random(seed)
    clusters = (assets + 3) // 4
    trends = []
    for _ in range(clusters):
        level, path = 0.0, []
        for _ in range(days):
            level += rng.gauss(0.0, 1.0)
            path.append(level)
        trends.append(path)
    prices = []
    for a in range(assets):
        trend = trends[a // 4]
        loading, base, error, path = rng.uniform(0.5, 2.0), rng.uniform(80.0, 120.0), 0.0, []
        for t in range(days):
            error = 0.8 * error + rng.gauss(0.0, 0.6)
            path.append(base + loading * trend[t] + error)
        prices.append(path)
    return prices


def returns_of(prices):
    return [[p[t] / p[t - 1] - 1.0 for t in range(1, len(p))] for p in prices]


def screen_pairs(prices, returns, pairs, window, bins):
    """One row per pair (i, j): (i, j, correlation today, beta, spread z-score today, TE i->j, TE j->i)."""
    rows = []
    for i, j in pairs:
        correlation = valmora.rolling_correlation(returns[i], returns[j], window)[-1]
        beta, _alpha, spread = valmora.cointegration_spread(prices[j], prices[i])
        sd = math.sqrt(sum(s * s for s in spread) / (len(spread) - 1))
        z = spread[-1] / sd if sd > 0 else math.nan
        te_ij = valmora.transfer_entropy(returns[i], returns[j], bins, 1)
        te_ji = valmora.transfer_entropy(returns[j], returns[i], bins, 1)
        rows.append((i, j, correlation, beta, z, te_ij, te_ji))
    return rows


def surrogate_floor(source, target, bins, lag, copies, seed=SEED):
    """transfer_entropy(source, target, bins, lag) on `copies` shuffled copies of the source: the mean
    and standard deviation of what the estimator gives for this pair when nothing flows. A shuffle
    keeps the source's values (so its symbols) and the whole target, and breaks only the order that
    a flow from source to target would need."""
    rng, shuffled, values = random.Random(seed), list(source), []
    for _ in range(copies):
        rng.shuffle(shuffled)
        values.append(valmora.transfer_entropy(shuffled, target, bins, lag))
    mean = math.fsum(values) / copies
    sd = math.sqrt(math.fsum((v - mean) * (v - mean) for v in values) / (copies - 1))
    return mean, sd


def chunks(pairs, size):
    return [pairs[k:k + size] for k in range(0, len(pairs), size)]


def screen_packed(prices, returns, packed, window, bins):
    """screen_pairs over pairs packed as i0, j0, i1, j1, ... in an array.array; the rows come back
    pickled, since dask would otherwise serialise the list element by element, at a cost of a fifth
    of the work itself on the workers and more on the client."""
    rows = screen_pairs(prices, returns, list(zip(packed[0::2], packed[1::2])), window, bins)
    return pickle.dumps(rows, protocol=pickle.HIGHEST_PROTOCOL)


def screen_serial(prices, pairs, window, bins, chunk=200):
    returns = returns_of(prices)
    rows = []
    for part in chunks(pairs, chunk):
        rows.extend(screen_pairs(prices, returns, part, window, bins))
    return rows


class Progress:
    """A one-line progress bar on stderr (no dependency)."""

    def __init__(self, total, enabled=True, width=40):
        self.total, self.done, self.width, self.enabled = total, 0, width, enabled
        self.start = time.perf_counter()

    def step(self):
        self.done += 1
        if self.enabled:
            filled = self.width * self.done // self.total
            elapsed = time.perf_counter() - self.start
            sys.stderr.write(f"\r[{'#' * filled}{'.' * (self.width - filled)}] {self.done}/{self.total} chunks, "
                             f"{elapsed:.1f} s")
            if self.done == self.total:
                sys.stderr.write("\n")
            sys.stderr.flush()


def screen_on_dask(client, prices, pairs, window, bins, chunk=None, progress=True):
    """The same rows as screen_serial, computed chunk by chunk on the cluster's workers.

    By default each worker gets about four chunks: enough to even out the load, few enough that
    dask's few milliseconds per task stay small beside the work."""
    from dask.distributed import as_completed

    try:
        import cloudpickle

        # Workers of a remote cluster do not have this file: send its functions by value.
        if __name__ != "__main__":
            cloudpickle.register_pickle_by_value(sys.modules[__name__])
    except (ImportError, AttributeError):
        pass
    # The prices travel once, as one object: scattering the list itself would send its 200 rows as 200
    # keys that every task depends on (seconds of scheduler work). A fresh key per call: a key hashed
    # from the data is shared with a previous call's, whose release can then delete this call's copy.
    [prices_f] = client.scatter([prices], broadcast=True, hash=False)
    returns_f = client.submit(returns_of, prices_f, pure=False)
    if chunk is None:
        chunk = max(1, -(-len(pairs) // (4 * len(client.scheduler_info()["workers"]))))
    # dask walks list arguments element by element (looking for futures, then pickling); a chunk's
    # pairs go as one flat array of indices instead, and the keys are not hashed from it.
    futures = [client.submit(screen_packed, prices_f, returns_f, array.array("q", itertools.chain(*part)),
                             window, bins, pure=False)
               for part in chunks(pairs, chunk)]
    order = {f.key: k for k, f in enumerate(futures)}
    results = [None] * len(futures)
    bar = Progress(len(futures), enabled=progress)
    for future in as_completed(futures):
        results[order[future.key]] = pickle.loads(future.result())
        bar.step()
    return [row for part in results for row in part]


def top_pairs(rows, count, min_correlation=0.5):
    """Pairs whose spread is most stretched today (largest |z|), among pairs whose returns move together
    (a spread between unrelated random walks is spurious, however stretched)."""
    candidates = [r for r in rows if r[2] == r[2] and r[2] > min_correlation and r[3] > 0 and r[4] == r[4]]
    return sorted(candidates, key=lambda r: (-abs(r[4]), r[0], r[1]))[:count]


def report(rows, count, returns, bins, copies):
    """The most stretched pairs; each transfer entropy against its floor from `copies` shuffled copies
    of its source (computed here, for the printed pairs only: about 10 ms a direction at 100 copies)."""
    print("Most stretched spreads among pairs with return correlation above 0.5 (z = spread today / its")
    print("standard deviation; beta = hedge ratio of j on i; trend: same cluster). Transfer entropy in nats,")
    print(f"each beside its floor: the mean (sd) of the same call on {copies} shuffled copies of the source,")
    print("and how many floor standard deviations the value stands above it. A flow stands several above;")
    print("a value below its floor says only that no flow shows (a shuffle also breaks the same-day")
    print("correlation of the two returns, which lowers this estimator's value):")
    print(f"{'pair':<12} {'corr':>6} {'beta':>6} {'z':>6}   {'TE i->j':>7} {'floor (sd)':>11} {'above':>5}"
          f"   {'TE j->i':>7} {'floor (sd)':>11} {'above':>5} {'trend':>6}")
    for i, j, corr, beta, z, te_ij, te_ji in top_pairs(rows, count):
        cells = []
        for source, target, value in ((i, j, te_ij), (j, i, te_ji)):
            mean, sd = surrogate_floor(returns[source], returns[target], bins, 1, copies)
            cells.append(f"{value:7.3f} {f'{mean:.2f} ({sd:.2f})':>11} {(value - mean) / sd:+5.1f}")
        same = "same" if i // 4 == j // 4 else "diff"
        print(f"{f'A{i:03d}/A{j:03d}':<12} {corr:6.3f} {beta:6.3f} {z:+6.2f}   {cells[0]}   {cells[1]} {same:>6}")


def main(argv=None):
    parser = argparse.ArgumentParser(description="Pairs screen of a synthetic universe on dask.distributed.")
    parser.add_argument("--assets", type=int, default=400, help="number of assets (default 400)")
    parser.add_argument("--days", type=int, default=504, help="trading days of history (default 504)")
    parser.add_argument("--window", type=int, default=63, help="rolling correlation window in days (default 63)")
    parser.add_argument("--bins", type=int, default=4, help="quantile bins of the transfer entropy (default 4)")
    parser.add_argument("--chunk", type=int, help="pairs per task (default: about four tasks per worker)")
    parser.add_argument("--top", type=int, default=15, help="pairs to print (default 15)")
    parser.add_argument("--copies", type=int, default=100,
                        help="shuffled copies of the source for each printed transfer entropy's floor (default 100)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="address of a running dask scheduler, e.g. tcp://10.0.0.5:8786 (default: a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2, help="process workers of the LocalCluster (default 2)")
    parser.add_argument("--serial", action="store_true", help="run in this process, without dask")
    args = parser.parse_args(argv)

    prices = make_prices(args.assets, args.days)
    pairs = list(itertools.combinations(range(args.assets), 2))
    print(f"{args.assets} assets, {args.days} days, {len(pairs):,} pairs, "
          f"{args.window}-day correlation, {args.bins}-bin transfer entropy (nats)")
    if args.serial:
        start = time.perf_counter()
        rows = screen_serial(prices, pairs, args.window, args.bins, args.chunk or 200)
        print(f"screened in {time.perf_counter() - start:.1f} s\n")
    else:
        from dask.distributed import Client, LocalCluster

        start = time.perf_counter()
        if args.scheduler:
            client = Client(args.scheduler)
            cluster = None
        else:
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                   dashboard_address=None)
            client = Client(cluster)
        try:
            print(f"dask: {len(client.scheduler_info()['workers'])} workers at {client.scheduler.address}, "
                  f"ready in {time.perf_counter() - start:.1f} s")
            start = time.perf_counter()
            rows = screen_on_dask(client, prices, pairs, args.window, args.bins, args.chunk)
            print(f"screened in {time.perf_counter() - start:.1f} s\n")
        finally:
            client.close()
            if cluster is not None:
                cluster.close()
    report(rows, args.top, returns_of(prices), args.bins, args.copies)


if __name__ == "__main__":
    main()
