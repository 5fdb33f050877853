"""Arrays read through the buffer protocol give exactly what item-by-item conversion gives."""

import array
import sys

import pytest

import valmora
from signatures import VALID, same

np = pytest.importorskip("numpy")
# The item-by-item reference path meets numpy's own conversion warnings (complex, ndim > 0).
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::numpy.exceptions.ComplexWarning")

DTYPES = ["f8", "f4", "i8", "i4", "i2", "i1", "u8", "u4", "u2", "u1", "?", ">f8", "f2", "c16", "O"]


class Plain(np.ndarray):
    """Not an exact ndarray, so it (and every row it yields) takes the item-by-item path."""


def generic(value):
    """The same object as the item-by-item conversion sees it."""
    if isinstance(value, np.ndarray):
        return value.view(Plain)
    return list(value)


def outcome(f, *args):
    try:
        return "ok", f(*args)
    except Exception as e:  # noqa: BLE001 - the exception itself is what we compare
        return type(e), str(e)


def assert_same_outcome(a, b):
    assert a[0] == b[0], (a, b)
    if a[0] == "ok":
        assert same(a[1], b[1]), (a, b)
    else:
        assert a[1] == b[1]


def layouts(values, dtype):
    """The values as arrays of `dtype`: contiguous, strided, reversed, and (2-D) transposed."""
    base = np.asarray(values).astype(dtype)
    yield base
    padded = np.empty((base.shape[0] * 2,) + base.shape[1:], dtype=dtype)
    padded[::2] = base
    yield padded[::2]
    yield base[::-1].copy()[::-1]
    if base.ndim == 2:
        yield np.asfortranarray(base)
        wide = np.zeros((base.shape[0], base.shape[1] * 3), dtype=dtype)
        wide[:, 1::3] = base
        yield wide[:, 1::3]


@pytest.mark.parametrize("dtype", DTYPES)
def test_arrays_match_item_by_item_conversion(sequence_param, dtype):
    function, index, param, kind = sequence_param
    f = getattr(valmora, function)
    for arr in layouts(VALID[function][index], dtype):
        args = list(VALID[function])
        args[index] = arr
        expected = outcome(f, *args[:index], generic(arr), *args[index + 1:])
        assert_same_outcome(outcome(f, *args), expected)


@pytest.mark.parametrize(
    "shape", [(), (0,), (3,), (1, 3), (3, 1), (0, 2), (2, 0), (2, 2, 2), (1, 1, 1)]
)
def test_every_shape_behaves_as_the_generic_path(sequence_param, shape):
    function, index, param, kind = sequence_param
    f = getattr(valmora, function)
    arr = np.arange(1, 1 + int(np.prod(shape)), dtype="f8").reshape(shape)
    args = list(VALID[function])
    args[index] = arr
    if arr.ndim == 0:
        reference = outcome(f, *args)  # a 0-d array is not iterable: the generic path's own error
        assert reference[0] is TypeError and reference[1].startswith(f"argument '{param}': ")
        return
    expected = outcome(f, *args[:index], generic(arr), *args[index + 1:])
    assert_same_outcome(outcome(f, *args), expected)


@pytest.mark.parametrize("typecode", ["d", "f", "b", "B", "h", "H", "i", "I", "l", "L", "q", "Q"])
def test_array_array_and_memoryview(typecode):
    values = [3, 1, 4, 1, 5, 9, 2, 6]
    arr = array.array(typecode, values)
    expected = valmora.cointegration_spread(list(arr), [float(i) for i in range(8)])
    for obj in (arr, memoryview(arr), memoryview(arr)[::2]):
        x = [float(i) for i in range(len(obj))]
        assert same(valmora.cointegration_spread(obj, x), valmora.cointegration_spread(list(obj), x))
    assert same(valmora.cointegration_spread(arr, [float(i) for i in range(8)]), expected)


def test_two_dimensional_memoryview_keeps_its_generic_error():
    with pytest.raises(NotImplementedError):
        valmora.covariance_to_correlation(memoryview(np.eye(2)))


def test_random_data_with_non_finite_values():
    rng = np.random.default_rng(11)
    for n in (1, 2, 7, 33, 1000):
        x = rng.normal(size=2 * n) * 10.0 ** rng.integers(-5, 5, size=2 * n)
        x[rng.random(2 * n) < 0.05] = np.nan
        x[rng.random(2 * n) < 0.02] = np.inf
        y = rng.normal(size=2 * n)
        for xs in (x[:n], x[::2], x[::-2][:n]):
            ys = y[: len(xs)]
            assert_same_outcome(outcome(valmora.rolling_correlation, xs, ys, 3),
                                outcome(valmora.rolling_correlation, list(xs), list(ys), 3))
        m = x[: (n // 3) * 3].reshape(-1, 3) if n >= 3 else x[:2].reshape(2, 1)
        for mat in (m, m[::-1], m.T.copy().T, m[:, ::-1]):
            assert_same_outcome(outcome(valmora.sample_covariance_matrix, mat, 252.0),
                                outcome(valmora.sample_covariance_matrix, [list(r) for r in mat], 252.0))


def test_subclasses_and_lists_of_arrays_are_read_correctly():
    Sub = Plain
    data = np.array([[1.0, 2.0], [3.0, 6.0], [2.0, 5.0]])
    expected = valmora.sample_covariance_matrix(data.tolist(), 1.0)
    assert same(valmora.sample_covariance_matrix(data.view(Sub), 1.0), expected)
    assert same(valmora.sample_covariance_matrix(list(data), 1.0), expected)
    assert same(valmora.sample_covariance_matrix(tuple(data.astype("f4").astype("f8")), 1.0), expected)


def test_arrays_are_not_modified():
    data = np.array([[1.0, 2.0], [3.0, 6.0], [2.0, 5.0]])
    data.flags.writeable = False  # a read-only buffer must be accepted as well
    before = data.copy()
    valmora.ledoit_wolf_covariance_matrix(data, 252.0)
    assert np.array_equal(data, before)


def test_buffer_exports_are_released_after_the_call(sequence_param):
    function, index, param, kind = sequence_param
    arr = np.array(VALID[function][index], dtype="f8")
    args = list(VALID[function])
    args[index] = arr
    before = sys.getrefcount(arr)
    outcome(getattr(valmora, function), *args)
    assert sys.getrefcount(arr) == before
    arr.resize((0,) * arr.ndim, refcheck=False)  # refused while any buffer export is still held


class Zeroes:
    """A number whose conversion overwrites an array passed earlier in the same call."""

    def __init__(self, victim, value=1.0):
        self.victim, self.value = victim, value

    def __float__(self):
        self.victim[...] = 0.0
        return self.value


def test_later_argument_changing_a_borrowed_array_does_not_change_the_result():
    data = np.array([[1.0, 2.0], [3.0, 5.0], [4.0, 4.0]])
    expected = valmora.sample_covariance_matrix(data.tolist(), 1.0)
    assert valmora.sample_covariance_matrix(data, Zeroes(data)) == expected
    loadings = np.array([[1.0, 0.5], [0.2, 0.8]])
    args = ([0.5, 0.5], loadings, [[0.1, 0.0], [0.0, 0.2]])
    expected = valmora.factor_risk_decomposition(*args, [0.1, 0.1])
    assert valmora.factor_risk_decomposition(*args, [Zeroes(loadings, 0.1), 0.1]) == expected


def test_later_argument_freeing_a_borrowed_array_does_not_crash(run_isolated):
    run_isolated(
        """
        import numpy as np, valmora
        n = 20000
        a = np.random.default_rng(0).standard_normal((n, 2))
        expected = valmora.sample_covariance_matrix(a.tolist(), 1.0)
        keep = []

        class Frees:
            def __float__(self):
                a.resize((1, 2), refcheck=False)
                keep.extend(np.full((n, 2), 1e300) for _ in range(4))
                return 1.0

        assert valmora.sample_covariance_matrix(a, Frees()) == expected
        """
    )


def test_memoryview_with_explicit_byte_order_keeps_its_generic_error():
    ctypes = pytest.importorskip("ctypes")
    view = memoryview((ctypes.c_double * 3)(1.0, 2.0, 3.0))
    assert view.format == "<d"
    with pytest.raises(NotImplementedError):
        valmora.vwap_schedule(1.0, view)


def test_conversion_imports_nothing(run_isolated):
    run_isolated(
        """
        import sys, valmora
        before = set(sys.modules)
        valmora.vwap_schedule(1.0, [1.0, 2.0])
        valmora.vwap_schedule(1.0, b"\\x01\\x02")
        valmora.sample_covariance_matrix([[1.0, 2.0], [3.0, 5.0], [4.0, 4.0]], 1.0)
        assert set(sys.modules) == before, set(sys.modules) - before
        """
    )
