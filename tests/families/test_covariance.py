"""Covariance estimators and the covariance/correlation conversions."""

import math
import random

import pytest

import valmora
from signatures import same
from slow import ledoit_wolf as ledoit_wolf_oracle, oas as oas_oracle, sample_covariance as sample_oracle

NAN = float("nan")
INF = float("inf")


def random_data(rng, n, p, holes=0):
    # Mixed magnitudes make every reordering of a sum visible in the last bits.
    rows = [[rng.gauss(0.0, 1.0) * 10.0 ** rng.randint(-3, 3) + rng.randint(-2, 2) for _ in range(p)]
            for _ in range(n)]
    for _ in range(holes):
        rows[rng.randrange(n)][rng.randrange(p)] = rng.choice([NAN, INF, -INF])
    return rows


# Sizes straddle the tile edges (4 or 6 rows, 4, 8 or 16 columns), the switch to packed panels
# after 12 columns, and the observation blocks (the last two just over one packed block).
AWKWARD = [(2, 1), (3, 2), (5, 3), (17, 4), (9, 5), (33, 7), (12, 8), (40, 9), (25, 13), (7, 17), (2100, 3),
           (300, 67), (515, 25), (191, 100)]


@pytest.mark.parametrize("n, p", AWKWARD)
def test_sample_matches_plain_loop_bit_for_bit(n, p):
    rng = random.Random(n * 1000 + p)
    data = random_data(rng, n, p, holes=min(3, n - 2))
    f = rng.choice([1.0, 252.0, 0.1, -3.0])
    result = valmora.sample_covariance_matrix(data, f)
    assert same(result, sample_oracle(data, f))
    assert all(result[i][j] == result[j][i] for i in range(p) for j in range(p))


def eighths_data(rng, n, p):
    # With n a power of two every mean, product and term is an exact binary fraction, so the
    # long sums meet exact ties and binade edges.
    return [[rng.randint(-24, 24) / 8.0 for _ in range(p)] for _ in range(n)]


@pytest.mark.parametrize("n, p, eighths", [(2, 1, False), (3, 2, False), (6, 3, False), (11, 5, False),
                                           (30, 9, False), (20, 13, False), (4, 50, False), (160, 11, False),
                                           (64, 5, True), (256, 9, True), (32, 17, True)])
@pytest.mark.parametrize("name, oracle", [("ledoit_wolf_covariance_matrix", ledoit_wolf_oracle),
                                          ("oas_covariance_matrix", oas_oracle)])
def test_shrinkage_matches_oracle_bit_for_bit(name, oracle, n, p, eighths):
    rng = random.Random(n * 1000 + p)
    data = eighths_data(rng, n, p) if eighths else random_data(rng, n + 2, p, holes=2)
    for f in (1.0, 252.0, -0.5):
        assert same(getattr(valmora, name)(data, f), oracle(data, f))


@pytest.mark.parametrize("data, f, expected", [
    ([[1, 2], [3, 6]], 1.0, [[2.0, 4.0], [4.0, 8.0]]),
    ([[1], [2]], 252.0, [[126.0]]),
    ([[1, 2], [NAN, 5], [3, 6]], 1.0, [[2.0, 4.0], [4.0, 8.0]]),
    ([[1, 7], [3, 7]], 1.0, [[2.0, 0.0], [0.0, 0.0]]),
    ([[1, 2], [3, 1]], 0.0, [[0.0, -0.0], [-0.0, 0.0]]),
    ([[1, 2], [3, 6]], -1.0, [[-2.0, -4.0], [-4.0, -8.0]]),
    ([[1, 2], [3, 6]], NAN, [[NAN, NAN], [NAN, NAN]]),
])
def test_sample_values(data, f, expected):
    assert same(valmora.sample_covariance_matrix(data, f), expected)


@pytest.mark.parametrize("data, expected", [
    ([[1, 2], [3, 6]], ([[1.0, 2.0], [2.0, 4.0]], 0.0)),
    ([[1, 0], [0, 1], [-1, -1]], ([[2 / 3, 0.0], [0.0, 2 / 3]], 1.0)),
    ([[1], [2]], ([[0.25]], 1.0)),
    ([[4, 4], [4, 4], [4, 4]], ([[0.0, 0.0], [0.0, 0.0]], 1.0)),
])
def test_ledoit_wolf_values(data, expected):
    assert same(valmora.ledoit_wolf_covariance_matrix(data, 1.0), expected)


@pytest.mark.parametrize("data, expected", [
    ([[1, 2], [3, 6]], ([[2.5, 0.0], [0.0, 2.5]], 1.0)),
    ([[1], [2]], ([[0.25]], 1.0)),
    ([[4, 4], [4, 4], [4, 4]], ([[0.0, 0.0], [0.0, 0.0]], 1.0)),
    ([[1, 5], [2, 5], [3, 5]], ([[1 / 3, 0.0], [0.0, 1 / 3]], 1.0)),
])
def test_oas_values(data, expected):
    assert same(valmora.oas_covariance_matrix(data, 1.0), expected)


FIVE = [[1, 2], [2, 1], [3, 5], [4, 3], [5, 6]]


@pytest.mark.parametrize("name, data, matrix, intensity", [
    ("ledoit_wolf_covariance_matrix", FIVE, [[2.2732, 1.2411], [1.2411, 3.1668]], 0.3795),
    ("ledoit_wolf_covariance_matrix", [[1, 5], [2, 5], [3, 5]], [[5 / 9, 0.0], [0.0, 1 / 9]], 1 / 3),
    ("oas_covariance_matrix", FIVE, [[2.7095, 0.0293], [0.0293, 2.7305]], 0.98536),
])
def test_shrinkage_worked_examples(name, data, matrix, intensity):
    got, delta = getattr(valmora, name)(data, 1.0)
    assert delta == pytest.approx(intensity, abs=1e-4)
    assert sum(got, []) == pytest.approx(sum(matrix, []), abs=1e-4)
    assert got[0][1] == got[1][0]


@pytest.mark.parametrize("name", ["ledoit_wolf_covariance_matrix", "oas_covariance_matrix"])
def test_frequency_scales_matrix_but_not_intensity(name):
    data = random_data(random.Random(5), 12, 4)
    base, delta = getattr(valmora, name)(data, 1.0)
    for f in (252.0, 0.0, -2.0):
        scaled, delta_f = getattr(valmora, name)(data, f)
        assert delta_f == delta
        assert scaled == [[v * f for v in row] for row in base]


def test_overflowing_cross_products():
    data = [[1e200, 1.0], [-1e200, 2.0], [0.0, 4.0]]
    matrix, delta = valmora.ledoit_wolf_covariance_matrix(data, 1.0)
    assert math.isnan(delta) and all(math.isnan(v) for row in matrix for v in row)
    matrix, rho = valmora.oas_covariance_matrix(data, 1.0)
    # The infinite variance times (1 - rho) = 0 is NaN; the target level carries the infinity.
    assert rho == 1.0 and math.isnan(matrix[0][0]) and matrix[1][1] == INF


def test_conversions_of_worked_values():
    assert valmora.correlation_to_covariance([[1.0, 0.5], [0.5, 1.0]], [0.1, 0.2]) == [
        [(1.0 * 0.1) * 0.1, (0.5 * 0.1) * 0.2], [(0.5 * 0.2) * 0.1, (1.0 * 0.2) * 0.2]]
    assert valmora.correlation_to_covariance([[1.0, 0.5], [0.5, 1.0]], [-0.1, 0.2]) == [
        [(1.0 * -0.1) * -0.1, (0.5 * -0.1) * 0.2], [(0.5 * 0.2) * -0.1, (1.0 * 0.2) * 0.2]]
    assert valmora.covariance_to_correlation([[4.0, 2.0], [2.0, 9.0]]) == [[1.0, 1 / 3], [1 / 3, 1.0]]
    # Mirrored entries are one float only where their bits agree, and never a NaN.
    assert same(valmora.correlation_to_covariance([[1.0, 0.0], [-0.0, 1.0]], [1.0, 1.0]), [[1.0, 0.0], [-0.0, 1.0]])
    nan_mirror = valmora.correlation_to_covariance([[1.0, NAN], [NAN, 1.0]], [1.0, 1.0])
    assert nan_mirror[0][1] is not nan_mirror[1][0]
    assert same(valmora.covariance_to_correlation([[0.0, 1.0], [1.0, 4.0]]), [[1.0, 0.0], [0.0, 1.0]])
    assert valmora.covariance_to_correlation([[1.0, 5.0], [5.0, 1.0]]) == [[1.0, 1.0], [1.0, 1.0]]
    assert valmora.covariance_to_correlation([[1.0, -5.0], [-5.0, 1.0]]) == [[1.0, -1.0], [-1.0, 1.0]]


@pytest.mark.parametrize("covariance, expected", [
    ([[NAN]], [[1.0]]),
    ([[-1.0]], [[1.0]]),
    ([[1.0, NAN], [NAN, 4.0]], [[1.0, NAN], [NAN, 1.0]]),
    ([[NAN, 1.0], [1.0, 4.0]], [[1.0, 0.0], [0.0, 1.0]]),
    ([[-4.0, 1.0], [1.0, 4.0]], [[1.0, 0.0], [0.0, 1.0]]),
    ([[INF, 1.0], [INF, 0.0]], [[1.0, 0.0], [0.0, 1.0]]),
    ([[INF, INF], [INF, INF]], [[1.0, NAN], [NAN, 1.0]]),
    ([[INF, 2.0], [2.0, 4.0]], [[1.0, 0.0], [0.0, 1.0]]),
])
def test_covariance_to_correlation_degenerate(covariance, expected):
    assert same(valmora.covariance_to_correlation(covariance), expected)


def test_correlation_to_covariance_checks_square_before_length():
    with pytest.raises(ValueError, match="^matrix must be square$"):
        valmora.correlation_to_covariance([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0]], [1.0, 2.0])
    with pytest.raises(ValueError, match="^volatility length must match correlation dimensions$"):
        valmora.correlation_to_covariance([[1.0, 0.5], [0.5, 1.0]], [1.0, 2.0, 3.0])


def test_conversions_match_oracle_on_random_data():
    rng = random.Random(11)
    n = 9
    cov = valmora.sample_covariance_matrix(random_data(rng, 30, n), 252.0)
    sd = [math.sqrt(cov[i][i]) for i in range(n)]
    corr = [[1.0 if i == j else max(-1.0, min(1.0, cov[i][j] / (sd[i] * sd[j]))) for j in range(n)]
            for i in range(n)]
    assert valmora.covariance_to_correlation(cov) == corr
    vol = [rng.uniform(-1.0, 1.0) for _ in range(n)]
    assert valmora.correlation_to_covariance(corr, vol) == [[(corr[i][j] * vol[i]) * vol[j] for j in range(n)]
                                                            for i in range(n)]


def test_peers_agree():
    np = pytest.importorskip("numpy")
    covariance = pytest.importorskip("sklearn.covariance")
    x = np.random.default_rng(3).standard_normal((400, 12)) * 0.01 + 0.0005
    x[:, 3] *= 5.0
    rows = x.tolist()

    def close(ours, theirs):
        theirs = np.asarray(theirs)
        return np.max(np.abs(np.asarray(ours) - theirs)) <= 1e-12 * np.max(np.abs(theirs))

    assert close(valmora.sample_covariance_matrix(rows, 1.0), np.cov(x, rowvar=False))
    for ours, theirs in [(valmora.ledoit_wolf_covariance_matrix(rows, 1.0), covariance.ledoit_wolf(x)),
                         (valmora.oas_covariance_matrix(rows, 1.0), covariance.oas(x))]:
        assert close(ours[0], theirs[0])
        assert ours[1] == pytest.approx(theirs[1], rel=1e-12)


def test_many_variables_in_a_subprocess(run_isolated):
    out = run_isolated("""
        import valmora
        p = 1500
        data = [[float((i * 7 + j * 13) % 17) for j in range(p)] for i in range(3)]
        for name in ("sample_covariance_matrix", "ledoit_wolf_covariance_matrix", "oas_covariance_matrix"):
            r = getattr(valmora, name)(data, 1.0)
            m = r if isinstance(r, list) else r[0]
            assert len(m) == p and all(len(row) == p for row in m)
            assert all(m[i][j] == m[j][i] for i in range(0, p, 37) for j in range(p))
        print("ok")
    """)
    assert out.strip() == "ok"


def test_unallocatable_result_raises_memory_error(run_isolated):
    out = run_isolated("""
        import valmora
        row = [0.0] * 300000  # a 300000 x 300000 result cannot be allocated
        for name in ("sample_covariance_matrix", "ledoit_wolf_covariance_matrix", "oas_covariance_matrix"):
            try:
                getattr(valmora, name)([row, row], 1.0)
            except MemoryError:
                print(name)
    """)
    assert out.split() == ["sample_covariance_matrix", "ledoit_wolf_covariance_matrix", "oas_covariance_matrix"]
