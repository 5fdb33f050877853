"""Argument binding and conversion, checked across every registered function and parameter."""

import array
import inspect
import math
import operator

import pytest

import valmora
from hostile import GetItemOnly, Index, Liar, RaisesOnFloat, Resizes
from signatures import RECORDS, VALID, same

pytestmark = [pytest.mark.conversion, pytest.mark.memcheck]


def params(name):
    return [p for p, _ in RECORDS[name].params]


def call_with(name, index, value):
    return RECORDS[name].function(*RECORDS[name].replaced(index, value))


def name_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


# ---------------------------------------------------------------- binding


def binding_errors(function, names, call):
    """(args, kwargs, message) for every way of binding the arguments wrongly."""
    n = len(names)
    missing = lambda m: (f"{function}() missing {len(m)} required positional argument{'s' * (len(m) > 1)}: "
                         + name_list(m))
    # Keywords are not examined once positionals overflow.
    yield tuple(range(n + 1)), {"bogus": 1}, f"{function}() takes {n} positional arguments but {n + 1} were given"
    for given in range(n):
        yield call[:given], {}, missing(names[given:])
    if n > 1:  # gaps left between keywords are listed too, in declaration order
        yield (), {names[-1]: call[-1]}, missing(names[:-1])
    yield call, {names[0]: 1}, f"{function}() got multiple values for argument '{names[0]}'"
    for keyword in ["size", "\udc80", "Data"]:
        yield call, {keyword: 1}, f"{function}() got an unexpected keyword argument '{keyword}'"
    yield call, {"nope": 1, names[0]: 2}, f"{function}() got an unexpected keyword argument 'nope'"


@pytest.mark.parametrize("name", valmora.__all__)
def test_binding_errors(name):
    f = getattr(valmora, name)
    label = f"{name}.__new__" if isinstance(f, type) else name  # Example, whose value is a str
    for args, kwargs, message in binding_errors(label, list(inspect.signature(f).parameters), VALID.get(name, ("x",))):
        with pytest.raises(TypeError) as e:
            f(*args, **kwargs)
        assert str(e.value) == message


def test_keywords_in_any_order_match_positional(function):
    f = getattr(valmora, function)
    expected = f(*VALID[function])
    by_keyword = dict(zip(params(function), VALID[function]))
    assert same(f(**dict(reversed(list(by_keyword.items())))), expected)
    assert same(f(*VALID[function][:1], **dict(list(by_keyword.items())[1:])), expected)


# ---------------------------------------------------------------- conversion, per parameter kind


class Opaque:
    pass


class Sneaky(TypeError):
    pass


def own_words(kind):
    # The interpreter's own words: math.fsum converts with the same C call as the double
    # converter, operator.index with the same as the size converter.
    try:
        operator.index(Opaque()) if kind == "size" else math.fsum([Opaque()])
    except TypeError as reference:
        return str(reference)


def bad_values(kind):
    """(value, exception type, message or None for 'the interpreter's own', prefixed?)"""
    own = [(inside(kind, Opaque()), TypeError, own_words(kind), True)]
    if kind == "real":
        return own + [("1.5", TypeError, None, True), (None, TypeError, None, True),
                      (10**400, OverflowError, "int too large to convert to float", False)]
    if kind == "size":
        return own + [(2.0, TypeError, None, True), ("3", TypeError, None, True), (None, TypeError, None, True),
                *[(n, OverflowError, None, False) for n in (-1, 2**64, Index(-1), Index(2**64), -(2**63))]]
    row_msgs = own + [
        ("abc", TypeError, "Can't extract `str` to `Vec`", True),
        (None, TypeError, "'None' is not an instance of 'Sequence'", True),
        ({1: 2}, TypeError, "'dict' object is not an instance of 'Sequence'", True),
        ({1, 2}, TypeError, "'set' object is not an instance of 'Sequence'", True),
        ((x for x in [1.0]), TypeError, "'generator' object is not an instance of 'Sequence'", True),
        (5, TypeError, "'int' object is not an instance of 'Sequence'", True),
    ]
    if kind == "vector":
        return row_msgs + [([1.0, "x"], TypeError, None, True), ([1.0, 10**400], OverflowError, None, False)]
    return row_msgs + [
        (["ab"], TypeError, "Can't extract `str` to `Vec`", True),
        ([1.0, 2.0], TypeError, "'float' object is not an instance of 'Sequence'", True),
        ([[1.0], 3], TypeError, "'int' object is not an instance of 'Sequence'", True),
        ([[1.0, None]], TypeError, None, True),
    ]


def test_bad_values_raise_the_exact_exception(function_param):
    function, index, param, kind = function_param
    for value, exc_type, message, prefixed in bad_values(kind):
        with pytest.raises(Exception) as e:
            call_with(function, index, value)
        assert type(e.value) is exc_type, (value, e.value)
        text = str(e.value)
        if prefixed:
            assert text.startswith(f"argument '{param}': "), text
            text = text[len(f"argument '{param}': "):]
        else:
            assert not text.startswith("argument"), text
        if message is not None:
            assert text == message


def inside(kind, bad):
    """`bad` where a value of `kind` goes: itself, an element, or an element of a row."""
    return bad if kind in ("real", "size") else [bad] if kind == "vector" else [[bad]]


def test_raised_exceptions_pass_through(function_param):
    function, index, param, kind = function_param
    # A TypeError subclass and every other exception come back as they were raised.
    for exc in [Sneaky("from inside"), ValueError("v"), ZeroDivisionError("z"), OverflowError("o")]:
        with pytest.raises(type(exc)) as e:
            call_with(function, index, inside(kind, RaisesOnFloat(exc)))
        assert e.value is exc
    # A plain TypeError is wrapped with the parameter's name and keeps its cause.
    root, inner = KeyError("root"), TypeError("inner")
    inner.__cause__ = root
    with pytest.raises(TypeError) as e:
        call_with(function, index, inside(kind, RaisesOnFloat(inner)))
    assert str(e.value) == f"argument '{param}': inner"
    assert e.value.__cause__ is root and e.value.__context__ is not inner


def test_first_failing_parameter_is_reported(function):
    names = params(function)
    with pytest.raises(TypeError, match=f"^argument '{names[0]}': "):
        getattr(valmora, function)("not a number or sequence" if RECORDS[function].params[0][1] != "size" else 1.5,
                                   *[object()] * (len(names) - 1))


class ListSub(list):
    pass


@pytest.mark.parametrize("exc", [ValueError, LookupError, KeyboardInterrupt, SystemExit, GeneratorExit])
def test_failing_length_query_is_discarded_unless_it_interrupts(sequence_param, exc):
    function, index, _, _ = sequence_param
    call = VALID[function]
    if not issubclass(exc, Exception):
        with pytest.raises(exc):
            call_with(function, index, Liar(call[index], exc))
    else:
        assert same(call_with(function, index, Liar(call[index], exc)), getattr(valmora, function)(*call))


@pytest.mark.parametrize("value, expected", [
    ((1, 2), [1.0, 2.0]), (range(3), [0.0, 1.0, 2.0]), (b"\x01\x02", [1.0, 2.0]),
    (array.array("d", [1.5, 1.0]), [1.5, 1.0]), (GetItemOnly([3.0, 4.0]), [3.0, 4.0]), (ListSub([5, True]), [5.0, 1.0]),
    ([1.0, Index(7)], [1.0, 7.0]),
])
def test_vector_accepts_sequences(value, expected):
    assert valmora.vwap_schedule(1.0, value) == valmora.vwap_schedule(1.0, expected)


@pytest.mark.parametrize("quantity, periods, expected", [
    (-1.0, 1, [-1.0]), (True, 1, [1.0]), (Index(2), 1, [2.0]), (float("inf"), 1, [float("inf")]),
    (4.0, True, [4.0]), (4.0, Index(2), [2.0, 2.0]),
])
def test_numbers_and_sizes_accept_integers(quantity, periods, expected):
    assert valmora.twap_schedule(quantity, periods) == expected


@pytest.mark.parametrize("by, expected", [(-1, [1.0, 2.0]), (2, [1.0, 2.0, 3.0, 4.0, 1.0, 1.0])])
def test_list_resized_while_converting_is_read_as_its_iterator_would(by, expected):
    victim = [1.0, Resizes(by), 3.0, 4.0]
    victim[1].home = victim
    assert valmora.vwap_schedule(sum(expected), victim) == expected


def test_validation_error_is_plain_value_error():
    with pytest.raises(ValueError) as e:
        valmora.twap_schedule(5, 0)
    assert type(e.value) is ValueError and e.value.args == ("periods must be positive",)
