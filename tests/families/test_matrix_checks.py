"""The shared matrix checks, as every function taking a matrix reports them."""

import pytest

import valmora

NAN = float("nan")
INF = float("inf")

ESTIMATORS = ["sample_covariance_matrix", "ledoit_wolf_covariance_matrix", "oas_covariance_matrix"]
SQUARE = {
    "covariance_to_correlation": lambda m: valmora.covariance_to_correlation(m),
    "correlation_to_covariance": lambda m: valmora.correlation_to_covariance(m, [1.0] * len(m)),
}
SHAPE_CASES = [
    ([], "matrix must not be empty"),
    ([[]], "matrix rows must not be empty"),
    ([[], [1.0]], "matrix rows must not be empty"),
    ([[1.0], []], "matrix rows must have equal length"),
    ([[1.0, 2.0], [3.0]], "matrix rows must have equal length"),
    ([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0, 7.0]], "matrix rows must have equal length"),
]


def estimate(name, data):
    return getattr(valmora, name)(data, 1.0)


def raises(message, call, *args):
    with pytest.raises(ValueError) as e:
        call(*args)
    assert e.value.args == (message,)


@pytest.mark.parametrize("name", ESTIMATORS)
@pytest.mark.parametrize("data, message", SHAPE_CASES + [
    # A ragged row is refused even though it would be dropped as incomplete.
    ([[1.0, 2.0], [3.0, 4.0], [NAN, 1.0, 2.0]], "matrix rows must have equal length"),
    ([[1.0]], "at least two complete observations are required"),
    ([[1.0, 2.0], [NAN, 3.0]], "at least two complete observations are required"),
    ([[1.0, INF], [-INF, 3.0], [NAN, NAN]], "at least two complete observations are required"),
    ([[1.0], [NAN], [INF], [-INF]], "at least two complete observations are required"),
])
def test_estimator_checks(name, data, message):
    raises(message, estimate, name, data)


@pytest.mark.parametrize("name", SQUARE)
@pytest.mark.parametrize("matrix, message", SHAPE_CASES + [
    ([[1.0, 2.0]], "matrix must be square"),
    ([[1.0], [2.0]], "matrix must be square"),
    ([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], "matrix must be square"),
])
def test_square_checks(name, matrix, message):
    raises(message, SQUARE[name], matrix)


@pytest.mark.parametrize("name", SQUARE)
def test_one_by_one_is_square(name):
    expected = [[1.0]] if name == "covariance_to_correlation" else [[4.0]]
    assert SQUARE[name]([[4.0]]) == expected


@pytest.mark.parametrize("name", ESTIMATORS)
def test_incomplete_rows_are_dropped_whole(name):
    clean = [[1.0, 2.0], [3.0, 6.0], [2.0, 5.0]]
    dirty = [[NAN, 0.0], clean[0], [1.0, INF], clean[1], [-INF, 4.0], clean[2], [NAN, NAN]]
    assert estimate(name, dirty) == estimate(name, clean)


def test_extreme_finite_values_are_complete():
    # -0.0 and the largest double are finite, so both rows count; the overflow is not checked.
    assert valmora.sample_covariance_matrix([[-0.0], [1.7976931348623157e308]], 1.0) == [[INF]]


@pytest.mark.parametrize("name", ESTIMATORS)
@pytest.mark.parametrize("data", [[[1.0, 2.0, 3.0]] * 4, [[5.0, -1.0], [5.0, -1.0]]])
def test_identical_rows_centre_to_zero(name, data):
    result = estimate(name, data)
    matrix = result if name == "sample_covariance_matrix" else result[0]
    assert all(v == 0.0 for row in matrix for v in row)
    if name != "sample_covariance_matrix":
        assert result[1] == 1.0
