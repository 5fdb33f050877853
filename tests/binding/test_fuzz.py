"""Fuzzing every function and Example with arbitrary arguments.

Each call must return its documented shape or raise a documented exception, and must leave its
arguments as they were. Bounded by default; set VALMORA_FUZZ_EXAMPLES (e.g. 20000) for a long run.
"""

import array
import math
import os
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import valmora
from hostile import Boom, GetItemOnly
from signatures import TABLE

np = pytest.importorskip("numpy")

# numpy warns when a complex element is read as a float; the call itself is what is under test.
pytestmark = pytest.mark.filterwarnings("ignore:Casting complex values")

settings.register_profile(
    "valmora-fuzz",
    max_examples=int(os.environ.get("VALMORA_FUZZ_EXAMPLES", "150")),
    deadline=None,
    derandomize="VALMORA_FUZZ_EXAMPLES" not in os.environ,
    suppress_health_check=list(HealthCheck),
    database=None,
)
FUZZ = settings.get_profile("valmora-fuzz")

# Under AddressSanitizer operator new aborts instead of throwing, so the sanitizer run leaves out the
# counts that are meant to fail allocation.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


class BoomType(TypeError):
    """A TypeError subclass: passed through without the argument prefix."""


# ---- hostile objects ----

class RaisingFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc("no float")

    def __index__(self):
        raise self.exc("no index")


class LyingFloat:
    """__float__ returns something that is not a float."""

    def __float__(self):
        return "1.0"

    def __index__(self):
        return 1.5


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __index__(self):
        return int(self.value) if math.isfinite(self.value) else 0


class Shrinker:
    """Empties the list it sits in the first time it is converted."""

    def __init__(self):
        self.home = None

    def __float__(self):
        if self.home is not None:
            del self.home[:]
            self.home = None
        return 2.0


class Grower:
    """Appends to the list it sits in a few times while being converted."""

    def __init__(self, times=3):
        self.home = None
        self.times = times

    def __float__(self):
        if self.home is not None and self.times > 0:
            self.times -= 1
            self.home.append(1.0)
        return 3.0


class Seq:
    """A sequence-protocol object whose length, iteration and items can each lie or raise."""

    def __init__(self, items, length="true", iterate="true"):
        self.items = list(items)
        self.length = length
        self.iterate = iterate

    def __len__(self):
        if self.length == "raise":
            raise Boom("len")
        if self.length == "huge":
            return 2**62
        if self.length == "negative":
            return -5
        if self.length == "zero":
            return 0
        return len(self.items)

    def __getitem__(self, i):
        if self.iterate == "raise-item":
            raise Boom("item")
        return self.items[i]

    def __iter__(self):
        if self.iterate == "raise":
            raise Boom("iter")
        if self.iterate == "raise-midway":
            return self._raise_midway()
        if self.iterate == "not-iterator":
            return 5
        return iter(self.items)

    def _raise_midway(self):
        yield from self.items[:1]
        raise Boom("midway")


# ---- strategies ----

finite_or_not = st.floats(allow_nan=True, allow_infinity=True)
plain_numbers = st.one_of(
    finite_or_not,
    st.integers(min_value=-(2**70), max_value=2**70),
    st.booleans(),
)
numpy_scalars = st.builds(
    lambda v, t: np.bool_(bool(v)) if t is np.bool_ else t(abs(v)) if np.dtype(t).kind == "u" else t(v),
    st.integers(-100, 100),
    st.sampled_from([np.float64, np.float32, np.float16, np.int8, np.int64, np.uint16, np.uint64, np.bool_]),
)
hostile_scalars = st.one_of(
    st.sampled_from([Boom, BoomType, TypeError, ValueError, OverflowError]).map(RaisingFloat),
    st.just(LyingFloat()),
    finite_or_not.map(FloatLike),
)
numbers = st.one_of(plain_numbers, numpy_scalars, hostile_scalars)
junk = st.one_of(st.none(), st.text(max_size=3), st.just({}), st.just({1.0}), st.just(object()), st.just(1j))

DTYPES = ["f8", "f4", "f2", ">f8", "<f4", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "?", "c16",
          "O", "U3", "M8[s]", "m8[s]", "V8"]


@st.composite
def numpy_arrays(draw, ndim=None):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    nd = draw(st.integers(0, 3)) if ndim is None else ndim
    shape = tuple(draw(st.lists(st.integers(0, 5), min_size=nd, max_size=nd)))
    raw = np.array(draw(st.lists(finite_or_not, min_size=1, max_size=1)) * int(np.prod(shape) or 1))
    with np.errstate(all="ignore"):
        if dtype.kind in "fc":
            values = raw.astype(dtype)
        elif dtype.kind in "iub":
            values = np.nan_to_num(raw, nan=0, posinf=3, neginf=-3).clip(-100, 100).astype(dtype)
        elif dtype.kind == "O":
            values = raw.astype(object)
        elif dtype.kind == "V":
            values = np.zeros(raw.shape, dtype=dtype)
        else:
            values = np.zeros(raw.shape).astype(dtype)
    arr = values[: int(np.prod(shape))].reshape(shape)
    view = draw(st.sampled_from(["plain", "reversed", "strided", "readonly", "fortran"]))
    if view == "reversed" and arr.ndim:
        arr = arr[::-1]
    elif view == "strided" and arr.ndim:
        arr = np.repeat(arr, 2, axis=0)[::2]
    elif view == "readonly":
        arr.flags.writeable = False
    elif view == "fortran":
        arr = np.asfortranarray(arr)
    return arr


def vector_of(elements):
    return st.one_of(
        st.lists(elements, max_size=8),
        st.lists(elements, max_size=8).map(tuple),
        st.builds(range, st.integers(-3, 3), st.integers(-3, 12)),
        st.binary(max_size=8),
        st.lists(finite_or_not, max_size=8).map(lambda v: array.array("d", v)),
        st.lists(st.integers(-100, 100), max_size=8).map(lambda v: array.array("b", v)),
        st.lists(finite_or_not, max_size=8).map(lambda v: memoryview(array.array("d", v))),
        st.lists(finite_or_not, max_size=8).map(lambda v: memoryview(struct.pack(f">{len(v)}d", *v)).cast("B")),
        st.builds(Seq, st.lists(elements, max_size=6),
                  st.sampled_from(["true", "raise", "huge", "negative", "zero"]),
                  st.sampled_from(["true", "true", "raise", "raise-midway", "not-iterator"])),
        st.lists(elements, max_size=6).map(GetItemOnly),
        numpy_arrays(),
    )


vectors = vector_of(st.one_of(finite_or_not, numbers))
matrices = st.one_of(
    st.lists(st.lists(finite_or_not, min_size=0, max_size=5), max_size=6),
    st.integers(1, 5).flatmap(lambda c: st.lists(st.lists(finite_or_not, min_size=c, max_size=c), max_size=7)),
    st.lists(vectors, max_size=4),
    st.lists(vectors, max_size=4).map(tuple),
    numpy_arrays(),
    numpy_arrays(ndim=2),
    st.lists(numpy_arrays(ndim=1), max_size=4),
)
huge_sizes = st.integers(2**50, 2**64 - 1)
sizes = st.one_of(
    st.integers(0, 12),
    st.integers(-(2**70), -1),
    st.integers(2**64, 2**70),
    st.booleans(),
    st.integers(0, 12).map(np.uint64),
    st.sampled_from([1.0, 2.5, "3", None]),
    st.sampled_from([Boom, TypeError, OverflowError]).map(RaisingFloat),
    st.just(LyingFloat()),
    *([] if SANITIZED else [huge_sizes]),
)
BY_KIND = {
    "real": st.one_of(numbers, junk, vectors),
    "size": st.one_of(sizes, junk),
    "vector": st.one_of(vectors, vectors, junk, numbers),
    "matrix": st.one_of(matrices, matrices, junk, vectors),
}

# A few parameters must stay small: a list of 2**40 floats cannot be built, and one of a few
# million is just slow. Counts meant to fail allocation come from huge_sizes.
BOUNDED_SIZE = {("twap_schedule", "periods"), ("optimal_execution_trajectory", "periods"),
                ("transfer_entropy", "bins")}

EXPECTED = (TypeError, ValueError, OverflowError, MemoryError, Boom, Warning)


# ---- snapshots: the arguments after the call must equal those before ----

def snapshot(obj, depth=0):
    if depth > 4:
        return ("deep", id(obj))
    if isinstance(obj, float):
        return ("float", struct.pack("<d", obj))
    if isinstance(obj, np.ndarray):
        return ("ndarray", obj.dtype.str, obj.shape, obj.strides, obj.flags.writeable,
                obj.tobytes() if obj.dtype.kind != "O" else repr(obj.tolist()))
    if isinstance(obj, (list, tuple)):
        return (type(obj).__name__, id(obj), [snapshot(x, depth + 1) for x in obj])
    if isinstance(obj, (array.array, memoryview)):
        return (type(obj).__name__, bytes(obj) if not isinstance(obj, memoryview) or obj.c_contiguous else None)
    if isinstance(obj, (Seq, GetItemOnly)):
        return (type(obj).__name__, [snapshot(x, depth + 1) for x in obj.items])
    if isinstance(obj, (int, bool, str, bytes, range, type(None), complex)):
        return (type(obj).__name__, repr(obj))
    return (type(obj).__name__, id(obj))


def is_float_list(value, length=None):
    return (isinstance(value, list) and all(type(v) is float for v in value)
            and (length is None or len(value) == length))


def is_square(value):
    return isinstance(value, list) and all(is_float_list(row, len(value)) for row in value)


def bits(x):
    return struct.pack("<d", x) if x == x else b"nan"


def is_symmetric(m):
    return all(bits(m[i][j]) == bits(m[j][i]) for i in range(len(m)) for j in range(len(m)))


def in_unit(x):
    return x != x or 0.0 <= x <= 1.0


def check_shape(name, args, result):
    """The documented shape of each result, with the invariants that hold for any input."""
    if name == "sample_covariance_matrix":
        assert is_square(result) and result and is_symmetric(result)
    elif name in ("ledoit_wolf_covariance_matrix", "oas_covariance_matrix"):
        matrix, intensity = result
        assert type(result) is tuple and is_square(matrix) and matrix and is_symmetric(matrix)
        assert type(intensity) is float and in_unit(intensity)
    elif name == "covariance_to_correlation":
        assert is_square(result) and result
        for i, row in enumerate(result):
            assert row[i] == 1.0 and all(v != v or -1.0 <= v <= 1.0 for v in row)
    elif name == "correlation_to_covariance":
        assert is_square(result) and result
    elif name == "rolling_correlation":
        assert is_float_list(result)
    elif name == "cointegration_spread":
        beta, alpha, spread = result
        assert type(result) is tuple and type(beta) is float and type(alpha) is float and is_float_list(spread)
        assert spread
    elif name == "transfer_entropy":
        assert type(result) is float and result >= 0.0
    elif name == "twap_schedule":
        assert is_float_list(result, int(args[1])) and result
    elif name == "vwap_schedule":
        assert is_float_list(result) and result
    elif name == "almgren_chriss_market_impact":
        assert type(result) is tuple and len(result) == 4 and all(type(v) is float for v in result)
    elif name == "optimal_execution_trajectory":
        holdings, trades = result
        assert type(result) is tuple and is_float_list(holdings) and is_float_list(trades, len(holdings) - 1)
        assert holdings[-1] == 0.0 and trades
    elif name == "factor_risk_decomposition":
        assert type(result) is tuple and len(result) == 4
        assert all(type(v) is float for v in result[:3]) and is_float_list(result[3]) and result[3]
    else:
        raise AssertionError(name)


def place_mutators(args):
    """Give Shrinker/Grower elements a home: the list they sit in."""
    for a in args:
        rows = a if isinstance(a, list) else []
        for container in [a] + [r for r in rows if isinstance(r, list)]:
            if isinstance(container, list):
                for item in container:
                    if isinstance(item, (Shrinker, Grower)):
                        item.home = container


def call_and_check(name, args, kwargs=None):
    kwargs = kwargs or {}
    every = list(args) + list(kwargs.values())
    before = [snapshot(a) for a in every]
    mutating = any(isinstance(x, (Shrinker, Grower)) or
                   (isinstance(x, list) and any(isinstance(y, (Shrinker, Grower)) for y in x))
                   for a in every if isinstance(a, list) for x in a)
    try:
        result = getattr(valmora, name)(*args, **kwargs)
    except EXPECTED as exc:
        assert str(exc) is not None
    else:
        check_shape(name, every, result)
    # Objects that mutate their own container do so by design; everything else must be untouched.
    if not mutating:
        assert [snapshot(a) for a in every] == before


def arguments(name):
    strategies = []
    for param, kind in TABLE[name]:
        strategy = BY_KIND[kind]
        if (name, param) in BOUNDED_SIZE:
            strategy = st.one_of(st.integers(0, 40), st.integers(-5, -1), st.sampled_from([None, 1.5]),
                                 *([] if SANITIZED else [huge_sizes]))
        strategies.append(strategy)
    return st.tuples(*strategies)


@pytest.mark.parametrize("name", list(TABLE))
def test_arbitrary_arguments_give_documented_shape_or_exception(name):
    @FUZZ
    @given(args=arguments(name), by_keyword=st.booleans())
    def run(args, by_keyword):
        if by_keyword:
            call_and_check(name, (), {p: a for (p, _), a in zip(TABLE[name], args)})
        else:
            call_and_check(name, args)

    run()


@pytest.mark.parametrize("name", list(TABLE))
def test_well_formed_numbers_give_documented_shape_or_value_error(name):
    """Mostly valid inputs, so that the success paths are fuzzed as hard as the failures."""
    n = st.integers(2, 6)

    def real_vectors(length):
        return st.lists(finite_or_not, min_size=length, max_size=length)

    @FUZZ
    @given(n=n, k=st.integers(1, 4), data=st.data())
    def run(n, k, data):
        args = []
        for param, kind in TABLE[name]:
            if kind == "real":
                args.append(data.draw(finite_or_not))
            elif kind == "size":
                args.append(data.draw(st.integers(0, 12)))
            elif kind == "vector":
                args.append(data.draw(real_vectors(n)))
            elif param in ("factor_covariance",):
                args.append(data.draw(st.lists(real_vectors(k), min_size=k, max_size=k)))
            elif param == "factor_loadings":
                args.append(data.draw(st.lists(real_vectors(k), min_size=n, max_size=n)))
            else:
                cols = n if name in ("covariance_to_correlation", "correlation_to_covariance") else k
                rows = n if cols == n else data.draw(st.integers(0, 8))
                args.append(data.draw(st.lists(real_vectors(cols), min_size=rows, max_size=rows)))
        call_and_check(name, tuple(args))

    run()


@FUZZ
@given(elements=st.lists(st.one_of(finite_or_not, st.builds(Shrinker), st.builds(Grower)), min_size=1, max_size=8),
       name=st.sampled_from(["vwap_schedule", "cointegration_spread", "rolling_correlation"]))
def test_elements_that_mutate_their_own_list(elements, name):
    place_mutators([elements])
    args = {"vwap_schedule": (1.0, elements), "cointegration_spread": (elements, list(range(len(elements)))),
            "rolling_correlation": (elements, elements, 2)}[name]
    call_and_check(name, args)


@FUZZ
@given(rows=st.lists(st.lists(st.one_of(finite_or_not, st.builds(Shrinker), st.builds(Grower)), max_size=4),
                     min_size=1, max_size=5))
def test_matrix_elements_that_mutate_their_row(rows):
    place_mutators([rows])
    call_and_check("sample_covariance_matrix", (rows, 1.0))


@FUZZ
@given(value=st.one_of(st.text(), numbers, junk, st.text().map(lambda s: s + "\ud800"),
                       st.builds(type("S", (str,), {}), st.text())),
       by_keyword=st.booleans(), extra=st.sampled_from([(), ("b",)]))
def test_example_with_arbitrary_value(value, by_keyword, extra):
    try:
        e = valmora.Example(value=value) if by_keyword and not extra else valmora.Example(value, *extra)
    except (TypeError, UnicodeEncodeError):
        assert not isinstance(value, str) or extra or "\ud800" in value
    else:
        assert isinstance(value, str) and not extra
        assert str(e) == str(value) and repr(e) == f"Example<{value}>"
