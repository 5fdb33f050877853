"""The Dask example: the same bits on a two-worker process cluster as in one process; functions and
results survive pickling (which is how they travel to workers)."""

import itertools
import math
import pathlib
import pickle
import sys

import pytest

import valmora
from signatures import same

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
import universe  # noqa: E402


@pytest.fixture(scope="module")
def small_universe():
    prices = universe.make_prices(10, 120)
    pairs = list(itertools.combinations(range(10), 2))
    return prices, pairs


def test_dask_two_workers_match_serial_bit_for_bit(small_universe):
    distributed = pytest.importorskip("dask.distributed")
    import dask

    prices, pairs = small_universe
    serial = universe.screen_serial(prices, pairs, 21, 4, chunk=45)
    # dask's 30 s for a connection or a silent peer is a backstop only: a busy machine may take longer.
    with dask.config.set({"distributed.comm.timeouts.connect": "300s", "distributed.comm.timeouts.tcp": "300s"}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        assert len(client.scheduler_info()["workers"]) == 2
        # Twice on one client: the second call's data must not be released with the first call's.
        runs = [universe.screen_on_dask(client, prices, pairs, 21, 4, chunk=7, progress=False) for _ in range(2)]
    for remote in runs:
        assert [r[:2] for r in remote] == pairs
        assert same(remote, serial)


def test_screen_rows_are_the_functions_results(small_universe):
    prices, pairs = small_universe
    returns = universe.returns_of(prices)
    (i, j, corr, beta, z, te_ij, te_ji), = universe.screen_pairs(prices, returns, [(2, 3)], 21, 4)
    assert (i, j) == (2, 3)
    assert same([(corr, beta, te_ij, te_ji)], [(
        valmora.rolling_correlation(returns[2], returns[3], 21)[-1],
        valmora.cointegration_spread(prices[3], prices[2])[0],
        valmora.transfer_entropy(returns[2], returns[3], 4, 1),
        valmora.transfer_entropy(returns[3], returns[2], 4, 1),
    )])
    assert math.isfinite(z)


def test_report_sets_each_printed_transfer_entropy_beside_its_shuffled_floor(small_universe, capsys):
    prices, pairs = small_universe
    returns = universe.returns_of(prices)
    rows = universe.screen_serial(prices, pairs, 21, 4)
    universe.report(rows, 3, returns, 4, copies=5)
    printed = [line for line in capsys.readouterr().out.splitlines() if line.startswith("A0")]
    assert 0 < len(printed) <= 3
    i, j = int(printed[0][1:4]), int(printed[0][6:9])
    mean, sd = universe.surrogate_floor(returns[i], returns[j], 4, 1, 5)
    assert f"{mean:.2f} ({sd:.2f})" in printed[0]
    assert mean > 0.0 and sd > 0.0


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_functions_survive_pickling(function, protocol):
    # Sent to a worker by reference: found again by module and name.
    f = getattr(valmora, function)
    assert pickle.loads(pickle.dumps(f, protocol)) is f
