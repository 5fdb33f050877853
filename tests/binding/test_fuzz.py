"""Fuzzing every function and Example with arbitrary arguments.

Each call must return a result its record's invariant accepts or raise a documented exception, and
must leave its arguments as they were. Bounded by default; set VALMORA_FUZZ_EXAMPLES (e.g. 20000)
for a long run.
"""

import array
import math
import os
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import valmora
from hostile import Boom, GetItemOnly, Iterates, RaisesOnFloat, Resizes, Returns
from signatures import RECORDS

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


# ---- strategies ----

finite_or_not = st.floats(allow_nan=True, allow_infinity=True)
plain_numbers = st.one_of(finite_or_not, st.integers(min_value=-(2**70), max_value=2**70), st.booleans())
numpy_scalars = st.builds(
    lambda v, t: np.bool_(bool(v)) if t is np.bool_ else t(abs(v)) if np.dtype(t).kind == "u" else t(v),
    st.integers(-100, 100),
    st.sampled_from([np.float64, np.float32, np.float16, np.int8, np.int64, np.uint16, np.uint64, np.bool_]),
)
raising = st.sampled_from([Boom, BoomType, TypeError, ValueError, OverflowError]).map(lambda e: RaisesOnFloat(e("no")))
hostile_scalars = st.one_of(
    raising,
    st.just(Returns("1.0", 1.5)),  # conversions that return the wrong type
    finite_or_not.map(lambda v: Returns(v, int(v) if math.isfinite(v) else 0)),
)
numbers = st.one_of(plain_numbers, numpy_scalars, hostile_scalars)
junk = st.one_of(st.none(), st.text(max_size=3), st.just({}), st.just({1.0}), st.just(object()), st.just(1j))

DTYPES = ["f8", "f4", "f2", ">f8", "<f4", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "?", "c16",
          "O", "U3", "M8[s]", "m8[s]", "V8"]


@st.composite
def numpy_arrays(draw, ndim=None):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    shape = draw(st.lists(st.integers(0, 5), min_size=ndim or 0, max_size=3 if ndim is None else ndim))
    value = draw(finite_or_not)
    with np.errstate(all="ignore"):
        if dtype.kind in "fcO":
            arr = np.full(shape, value).astype(dtype)
        elif dtype.kind in "iub":
            arr = np.full(shape, 0 if value != value else max(-3.0, min(3.0, value))).astype(dtype)
        else:
            arr = np.zeros(shape, dtype)
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


def iterates(items, length, iterate):
    return Iterates(items, {"true": len(items), "raise": Boom("len")}.get(length, length), iterate)


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
        st.builds(iterates, st.lists(elements, max_size=6), st.sampled_from(["true", "raise", 2**62, -5, 0]),
                  st.sampled_from(["plain", "plain", "raise", "midway", "not an iterator"])),
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
    st.sampled_from([Boom, TypeError, OverflowError]).map(lambda e: RaisesOnFloat(e("no"))),
    st.just(Returns("1.0", 1.5)),
    *([] if SANITIZED else [huge_sizes]),
)
# A size counting the result's entries must stay small: a list of 2**40 floats cannot be built, and
# one of a few million is just slow. Counts meant to fail allocation come from huge_sizes.
counts = st.one_of(st.integers(0, 40), st.integers(-5, -1), st.sampled_from([None, 1.5]),
                   *([] if SANITIZED else [huge_sizes]))
BY_KIND = {
    "real": st.one_of(numbers, junk, vectors),
    "size": st.one_of(sizes, junk),
    "vector": st.one_of(vectors, vectors, junk, numbers),
    "matrix": st.one_of(matrices, matrices, junk, vectors),
}

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
    if isinstance(obj, GetItemOnly):
        return (type(obj).__name__, [snapshot(x, depth + 1) for x in obj.items])
    if isinstance(obj, (int, bool, str, bytes, range, type(None), complex)):
        return (type(obj).__name__, repr(obj))
    return (type(obj).__name__, id(obj))


def documented(name, exc):
    """An exact TypeError names the function (binding) or the argument (conversion); a ValueError
    carries its one message; the others pass through as the conversion raised them."""
    if type(exc) is TypeError:
        return str(exc).startswith((f"{name}() ", *(f"argument '{p}': " for p, _ in RECORDS[name].params)))
    if type(exc) is ValueError:
        return len(exc.args) == 1 and type(exc.args[0]) is str and exc.args[0] != "" and not exc.args[0].endswith(".")
    return True


def call_and_check(name, args, by_keyword=False, resizing=False):
    record = RECORDS[name]
    before = [snapshot(a) for a in args]
    try:
        if by_keyword:
            result = record.function(**{p: a for (p, _), a in zip(record.params, args)})
        else:
            result = record.function(*args)
    except EXPECTED as exc:
        assert documented(name, exc), repr(exc)
    else:
        assert record.invariant(args, result), result
    # Elements that resize their own list do so by design; everything else must be untouched.
    if not resizing:
        assert [snapshot(a) for a in args] == before


@pytest.mark.parametrize("name", list(RECORDS))
def test_arbitrary_arguments_give_a_valid_result_or_exception(name):
    record = RECORDS[name]
    strategies = [counts if p in record.counts else BY_KIND[kind] for p, kind in record.params]

    @FUZZ
    @given(args=st.tuples(*strategies), by_keyword=st.booleans())
    def run(args, by_keyword):
        call_and_check(name, args, by_keyword)

    run()


def lengths(value, found):
    """Every list length in a valid argument, outermost first."""
    if isinstance(value, list):
        found.append(len(value))
        for v in value[:1]:
            lengths(v, found)
    return found


@pytest.mark.parametrize("name", list(RECORDS))
def test_well_formed_numbers_give_a_valid_result_or_value_error(name):
    """The valid call's structure with new lengths and values, so that the success paths are fuzzed
    as hard as the failures; sometimes with elements that resize their own list while converted."""
    record = RECORDS[name]
    old = sorted({n for a in record.call for n in lengths(a, [])})

    @FUZZ
    @given(new=st.lists(st.integers(0, 7), min_size=len(old), max_size=len(old)), resizing=st.booleans(),
           data=st.data())
    def run(new, resizing, data):
        to = dict(zip(old, new))
        element = st.one_of(finite_or_not, st.integers(-1, 3).map(Resizes)) if resizing else finite_or_not

        def fill(value):
            if isinstance(value, list):
                made = [fill(value[0]) for _ in range(to[len(value)])] if value else []
                for item in made:
                    if isinstance(item, Resizes):
                        item.home = made
                return made
            return data.draw(st.integers(0, 12) if isinstance(value, int) else element)

        call_and_check(name, tuple(fill(a) for a in record.call), resizing=resizing)

    run()


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
        assert str(e) == str(value) and type(str(e)) is str and repr(e) == f"Example<{value}>"
