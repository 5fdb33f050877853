"""Arrays read through the buffer protocol give exactly what item-by-item conversion gives."""

import array
import sys
import textwrap

import pytest

import valmora
from signatures import VALID, assert_same_outcome, outcome, same

np = pytest.importorskip("numpy")
# The item-by-item reference path meets numpy's own conversion warnings (complex, ndim > 0).
pytestmark = [pytest.mark.conversion,
              pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::numpy.exceptions.ComplexWarning")]

DTYPES = ["f8", "f4", "i8", "i4", "i2", "i1", "u8", "u4", "u2", "u1", "?", ">f8", "f2", "c16", "O"]


class Plain(np.ndarray):
    """Not an exact ndarray, so it (and every row it yields) takes the item-by-item path."""


def generic(value):
    """The same object as the item-by-item conversion sees it."""
    if isinstance(value, np.ndarray):
        return value.view(Plain)
    return list(value)


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


def test_ndarray_subclass_offered_by_array_is_read_and_copied(tmp_path):
    data = np.array([[1.0, 2.0], [3.0, 6.0], [2.0, 5.5]])
    mapped = np.memmap(tmp_path / "data", dtype="f8", mode="w+", shape=data.shape)
    mapped[...] = data

    class Frame:
        def __init__(self, value):
            self.value = value

        def __array__(self, *args, **kwargs):
            return self.value

    assert same(valmora.sample_covariance_matrix(Frame(mapped), 1.0), valmora.sample_covariance_matrix(data, 1.0))
    assert valmora.vwap_schedule(1.0, Frame(mapped[:, 1])) == valmora.vwap_schedule(1.0, data[:, 1])
    del mapped


@pytest.mark.parametrize("writeable", [True, False], ids=["writeable", "read-only"])
def test_arrays_read_in_place_are_not_modified(sequence_param, writeable):
    # A routine may work in its own converted values (a schedule scaled in place), never in a
    # caller's array that it reads in place.
    function, index, param, kind = sequence_param
    arr = np.array(VALID[function][index], dtype="f8")
    arr.flags.writeable = writeable
    before = arr.copy()
    args = list(VALID[function])
    args[index] = arr
    getattr(valmora, function)(*args)
    assert np.array_equal(arr, before)


def test_buffer_exports_are_released_after_the_call(sequence_param):
    function, index, param, kind = sequence_param
    arr = np.array(VALID[function][index], dtype="f8")
    args = list(VALID[function])
    args[index] = arr
    before = sys.getrefcount(arr)  # an export still held would hold the array
    outcome(getattr(valmora, function), *args)
    assert sys.getrefcount(arr) == before
    if kind == "vector":  # array.array refuses to grow while any export of it is held
        held = array.array("d", VALID[function][index])
        args[index] = held
        outcome(getattr(valmora, function), *args)
        held.append(1.0)


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
    x = np.array([1.0, 3.0, 2.0, 5.0])
    expected = valmora.rolling_correlation(x.tolist(), [2.0, 1.0, 4.0, 3.0], 2)
    assert same(valmora.rolling_correlation(x, [Zeroes(x, 2.0), 1.0, 4.0, 3.0], 2), expected)


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


# Code that looks up a type or tests a later argument while an array is read in place: each
# snippet must give the plain-list result and not crash.
LOOKUP_RUNS_CODE = {
    "array module whose attribute look-up frees the matrix": """
        a = np.ones((2000, 2000))
        class Module:
            def __getattr__(self, name):
                a.resize((1, 1), refcheck=False)
                raise AttributeError(name)
        sys.modules['array'] = Module()
        try:
            valmora.correlation_to_covariance(a, bytes(2000))
        except ValueError as e:
            print(e)
        """,
    "array module loaded lazily": """
        import importlib.util
        sys.modules.pop('array', None)
        found = importlib.util.find_spec('array')
        loader = importlib.util.LazyLoader(found.loader)
        found.loader = loader
        module = importlib.util.module_from_spec(found)
        sys.modules['array'] = module
        loader.exec_module(module)
        data = np.array([[1.0, 0.5], [0.5, 1.0]])
        got = valmora.correlation_to_covariance(data, module.array('d', [0.1, 0.2]))
        print(got == valmora.correlation_to_covariance(data.tolist(), [0.1, 0.2]))
        """,
    "numpy whose ndarray is a Python class exporting through __buffer__": """
        class Fake:
            def __buffer__(self, flags):
                a.resize((1, 1), refcheck=False)
                return memoryview(b'xx')
        a = np.ones((300, 300))
        sys.modules['numpy'] = type(sys)('numpy')
        sys.modules['numpy'].ndarray = Fake
        try:
            valmora.correlation_to_covariance(a, Fake())
        except TypeError as e:
            print(e)
        """,
    "later list cleared while it is walked": """
        x = []
        class Clears:
            def __float__(self):
                x.clear()
                return 2.0
        x.extend([Clears(), 1.0, 3.0, 4.0])
        a = np.array([[1.0, 2.0], [3.0, 5.0], [4.0, 4.0]])
        try:
            valmora.factor_risk_decomposition([1.0, 0.0, 0.0], a, [[1.0, 0.0], [0.0, 1.0]], x)
        except ValueError as e:
            print(e)
        """,
    "array a frame gave frees itself and resizes the next lent array when given back": """
        import weakref
        x = np.random.default_rng(0).standard_normal(8_000_000)
        expected = np.array(valmora.rolling_correlation(x[::-1].copy(), x.copy(), 20))
        class Frame:
            def __array__(self, *args, **kwargs):
                given = x[::-1].copy()
                weakref.finalize(given, x.resize, 1, refcheck=False)
                return given
        class Window:
            def __index__(self):
                return 20
        got = valmora.rolling_correlation(Frame(), x, Window())
        print(len(x) == 1 and np.array_equal(got, expected, equal_nan=True))
        """,
}
LOOKUP_RUNS_CODE["array a frame gave, resized by a later argument's __index__"] = """
    x = np.random.default_rng(0).standard_normal(100_000)
    y = x[::-1].copy()
    expected = valmora.rolling_correlation(x.copy(), y, 5)
    class Frame:
        def __array__(self, *args, **kwargs):
            return x
    class Window:
        def __index__(self):
            x.resize(1, refcheck=False)
            return 5
    print(np.array_equal(valmora.rolling_correlation(Frame(), y, Window()), expected, equal_nan=True))
    """
LOOKUP_EXPECTED = {
    "array a frame gave, resized by a later argument's __index__": "True",
    "array a frame gave frees itself and resizes the next lent array when given back": "True",
    "array module whose attribute look-up frees the matrix": "volatility length must match correlation dimensions",
    "array module loaded lazily": "True",
    "numpy whose ndarray is a Python class exporting through __buffer__":
        "argument 'volume_curve': 'Fake' object is not an instance of 'Sequence'".replace("volume_curve", "volatility"),
    "later list cleared while it is walked":
        "weights and specific_variance length must match factor_loadings rows",
}


@pytest.mark.parametrize("case", list(LOOKUP_RUNS_CODE))
def test_code_run_by_a_type_look_up_never_touches_lent_memory(run_isolated, case):
    out = run_isolated("import sys, numpy as np, valmora\n" + textwrap.dedent(LOOKUP_RUNS_CODE[case]))
    assert out.strip() == LOOKUP_EXPECTED[case]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="a __buffer__ written in Python from 3.12")
@pytest.mark.parametrize("exc", [ValueError, KeyboardInterrupt])
def test_failing_export_of_an_offered_subclass_is_passed_over_unless_it_interrupts(exc):
    class Refuses(np.ndarray):
        def __buffer__(self, flags):
            raise exc

    class Frame:
        def __array__(self, *args, **kwargs):
            return np.ones(10).view(Refuses)

    if issubclass(exc, Exception):
        assert valmora.vwap_schedule(1.0, Frame()) == [0.1] * 10
    else:
        with pytest.raises(exc):
            valmora.vwap_schedule(1.0, Frame())


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
