"""The shared matrix checks, as every matrix parameter of every function reports them."""

import pytest

import valmora
from signatures import RECORDS

pytestmark = pytest.mark.memcheck

NAN = float("nan")
INF = float("inf")

ESTIMATORS = ["sample_covariance_matrix", "ledoit_wolf_covariance_matrix", "oas_covariance_matrix"]
SQUARE = [("covariance_to_correlation", 0), ("correlation_to_covariance", 0), ("factor_risk_decomposition", 2)]
SHAPE_CASES = [
    ([], "matrix must not be empty"),
    ([[]], "matrix rows must not be empty"),
    ([[], [1.0]], "matrix rows must not be empty"),
    ([[1.0], []], "matrix rows must have equal length"),
    ([[1.0, 2.0], [3.0]], "matrix rows must have equal length"),
    ([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0, 7.0]], "matrix rows must have equal length"),
]


def raises(message, name, args):
    with pytest.raises(ValueError) as e:
        getattr(valmora, name)(*args)
    assert e.value.args == (message,)


def test_every_matrix_parameter_reports_the_shape_checks(function):
    record = RECORDS[function]
    for index in [i for i, (_, kind) in enumerate(record.params) if kind == "matrix"]:
        for matrix, message in SHAPE_CASES:
            raises(message, function, record.replaced(index, matrix))


@pytest.mark.parametrize("name", ESTIMATORS)
@pytest.mark.parametrize("data, message", [
    # A ragged row is refused even though it would be dropped as incomplete.
    ([[1.0, 2.0], [3.0, 4.0], [NAN, 1.0, 2.0]], "matrix rows must have equal length"),
    ([[1.0]], "at least two complete observations are required"),
    ([[1.0, 2.0], [NAN, 3.0]], "at least two complete observations are required"),
    ([[1.0, INF], [-INF, 3.0], [NAN, NAN]], "at least two complete observations are required"),
    ([[1.0], [NAN], [INF], [-INF]], "at least two complete observations are required"),
])
def test_estimator_checks(name, data, message):
    raises(message, name, (data, 1.0))


@pytest.mark.parametrize("name, index", SQUARE)
@pytest.mark.parametrize("matrix", [[[1.0, 2.0]], [[1.0], [2.0]], [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]])
def test_square_checks(name, index, matrix):
    raises("matrix must be square", name, RECORDS[name].replaced(index, matrix))


def test_one_by_one_is_square():
    assert valmora.covariance_to_correlation([[4.0]]) == [[1.0]]
    assert valmora.correlation_to_covariance([[4.0]], [1.0]) == [[4.0]]


@pytest.mark.parametrize("name", ESTIMATORS)
def test_incomplete_rows_are_dropped_whole(name):
    clean = [[1.0, 2.0], [3.0, 6.0], [2.0, 5.0]]
    dirty = [[NAN, 0.0], clean[0], [1.0, INF], clean[1], [-INF, 4.0], clean[2], [NAN, NAN]]
    assert getattr(valmora, name)(dirty, 1.0) == getattr(valmora, name)(clean, 1.0)


def test_extreme_finite_values_are_complete():
    # -0.0 and the largest double are finite, so both rows count; the overflow is not checked.
    assert valmora.sample_covariance_matrix([[-0.0], [1.7976931348623157e308]], 1.0) == [[INF]]


@pytest.mark.parametrize("name", ESTIMATORS)
@pytest.mark.parametrize("data", [[[1.0, 2.0, 3.0]] * 4, [[5.0, -1.0], [5.0, -1.0]]])
def test_identical_rows_centre_to_zero(name, data):
    result = getattr(valmora, name)(data, 1.0)
    matrix = result if name == "sample_covariance_matrix" else result[0]
    assert all(v == 0.0 for row in matrix for v in row)
    if name != "sample_covariance_matrix":
        assert result[1] == 1.0
