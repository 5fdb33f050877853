"""Argument binding and conversion, checked across every registered function and parameter."""

import array
import copy
import math
import operator

import pytest

import valmora
from hostile import GetItemOnly, Index, Liar, RaisesOnFloat
from signatures import TABLE, VALID, same


def params(name):
    return [p for p, _ in TABLE[name]]


def call_with(name, index, value):
    args = list(VALID[name])
    args[index] = value
    return getattr(valmora, name)(*args)


def name_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


# ---------------------------------------------------------------- binding


def test_too_many_positional(function):
    n = len(TABLE[function])
    f = getattr(valmora, function)
    with pytest.raises(TypeError) as e:
        f(*range(n + 1), bogus=1)  # keywords are not examined once positionals overflow
    assert str(e.value) == f"{function}() takes {n} positional arguments but {n + 1} were given"


def missing_message(function, missing):
    word = "argument" if len(missing) == 1 else "arguments"
    return f"{function}() missing {len(missing)} required positional {word}: {name_list(missing)}"


def test_missing_arguments_listed_in_order(function):
    names = params(function)
    for given in range(len(names)):
        with pytest.raises(TypeError) as e:
            getattr(valmora, function)(*VALID[function][:given])
        assert str(e.value) == missing_message(function, names[given:])
    # Gaps left between keywords are listed too, in declaration order.
    last = {names[-1]: VALID[function][-1]}
    if len(names) > 1:
        with pytest.raises(TypeError) as e:
            getattr(valmora, function)(**last)
        assert str(e.value) == missing_message(function, names[:-1])


def test_multiple_values(function):
    names = params(function)
    with pytest.raises(TypeError) as e:
        getattr(valmora, function)(*VALID[function], **{names[0]: 1})
    assert str(e.value) == f"{function}() got multiple values for argument '{names[0]}'"


@pytest.mark.parametrize("keyword", ["size", "\udc80", "Data"])
def test_unexpected_keyword(function, keyword):
    with pytest.raises(TypeError) as e:
        getattr(valmora, function)(*VALID[function], **{keyword: 1})
    assert str(e.value) == f"{function}() got an unexpected keyword argument '{keyword}'"


def test_first_bad_keyword_decides(function):
    names = params(function)
    kwargs = {"nope": 1, names[0]: 2}
    with pytest.raises(TypeError, match="unexpected keyword argument 'nope'"):
        getattr(valmora, function)(*VALID[function], **kwargs)


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


def bad_values(kind):
    """(value, exception type, message or None for 'the interpreter's own', prefixed?)"""
    if kind == "real":
        return [("1.5", TypeError, None, True), (None, TypeError, None, True), (Opaque(), TypeError, None, True),
                (10**400, OverflowError, "int too large to convert to float", False)]
    if kind == "size":
        return [(2.0, TypeError, None, True), ("3", TypeError, None, True), (None, TypeError, None, True),
                (-1, OverflowError, None, False), (2**64, OverflowError, None, False)]
    row_msgs = [
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


def test_interpreter_message_is_wrapped_verbatim(function_param):
    function, index, param, kind = function_param
    value = Opaque() if kind in ("real", "size") else ([Opaque()] if kind == "vector" else [[Opaque()]])
    with pytest.raises(TypeError) as e:
        call_with(function, index, value)
    # The interpreter's own words: math.fsum converts with the same C call as the double
    # converter, operator.index with the same as the size converter.
    try:
        operator.index(Opaque()) if kind == "size" else math.fsum([Opaque()])
    except TypeError as reference:
        own = str(reference)
    assert str(e.value) == f"argument '{param}': {own}"


def test_type_error_subclass_passes_unprefixed(function_param):
    function, index, param, kind = function_param
    bad = RaisesOnFloat(Sneaky("from inside"))
    value = bad if kind in ("real", "size") else ([bad] if kind == "vector" else [[bad]])
    with pytest.raises(Sneaky, match="^from inside$"):
        call_with(function, index, value)


def test_wrapped_error_keeps_the_cause(function_param):
    function, index, param, kind = function_param
    root = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = root
    bad = RaisesOnFloat(inner)
    value = bad if kind in ("real", "size") else ([bad] if kind == "vector" else [[bad]])
    with pytest.raises(TypeError) as e:
        call_with(function, index, value)
    assert str(e.value) == f"argument '{param}': inner"
    assert e.value.__cause__ is root
    assert e.value.__context__ is not inner


@pytest.mark.parametrize("exc", [ValueError("v"), ZeroDivisionError("z"), OverflowError("o")])
def test_other_exceptions_pass_unchanged(function_param, exc):
    function, index, param, kind = function_param
    bad = RaisesOnFloat(exc)
    value = bad if kind in ("real", "size") else ([bad] if kind == "vector" else [[bad]])
    with pytest.raises(type(exc)) as e:
        call_with(function, index, value)
    assert e.value is exc


def test_first_failing_parameter_is_reported(function):
    names = params(function)
    with pytest.raises(TypeError, match=f"^argument '{names[0]}': "):
        getattr(valmora, function)("not a number or sequence" if TABLE[function][0][1] != "size" else 1.5,
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


@pytest.mark.parametrize(
    "value, expected",
    [
        ((1, 2), [1.0, 2.0]),
        (range(3), [0.0, 1.0, 2.0]),
        (b"\x01\x02", [1.0, 2.0]),
        (array.array("d", [1.5, -1.0]), [1.5, -1.0]),
        (GetItemOnly([3.0, 4.0]), [3.0, 4.0]),
        (ListSub([5, True]), [5.0, 1.0]),
        ([-1.0, Index(7)], [-1.0, 7.0]),
        ([], []),
    ],
)
def test_vector_accepts_sequences(value, expected):
    # vwap_schedule with quantity equal to the total returns the curve itself.
    if not expected:
        with pytest.raises(ValueError, match="volume_curve must contain positive total volume"):
            valmora.vwap_schedule(1.0, value)
        return
    total = sum(expected[:1]) + sum(expected[1:])
    if total <= 0 or any(v < 0 for v in expected):
        with pytest.raises(ValueError):
            valmora.vwap_schedule(total, value)
        return
    assert valmora.vwap_schedule(total, value) == [(v * total) / total for v in expected]


@pytest.mark.parametrize("value, expected", [(True, 1), (Index(3), 3), (2**64 - 1, None)])
def test_size_accepts_integers(value, expected):
    if expected is None:  # accepted by conversion; the schedule itself cannot be allocated
        with pytest.raises(MemoryError):
            valmora.twap_schedule(1.0, value)
        return
    assert len(valmora.twap_schedule(1.0, value)) == expected


@pytest.mark.parametrize("value, expected", [(-1.0, -1.0), (True, 1.0), (Index(2), 2.0), (float("inf"), float("inf"))])
def test_double_accepts_numbers(value, expected):
    assert valmora.twap_schedule(value, 1) == [expected]


def test_list_shrunk_while_converting_is_read_safely():
    victim = [1.0, 2.0, 3.0, 4.0]

    class Shrinker:
        def __float__(self):
            victim.clear()
            return 1.0

    victim.insert(1, Shrinker())
    assert valmora.vwap_schedule(2.0, victim) == [1.0, 1.0]


def test_inputs_are_left_unmodified(function):
    args = copy.deepcopy(VALID[function])
    getattr(valmora, function)(*args)
    assert same(list(args), list(VALID[function]))


def test_validation_error_is_plain_value_error():
    with pytest.raises(ValueError) as e:
        valmora.twap_schedule(5, 0)
    assert type(e.value) is ValueError and e.value.args == ("periods must be positive",)


@pytest.mark.parametrize("periods", [2**62, 2**64 - 1])
def test_huge_periods_raise_memory_error(run_isolated, periods):
    run_isolated(
        f"""
        import valmora
        try:
            valmora.twap_schedule(1.0, {periods})
        except MemoryError:
            pass
        else:
            raise SystemExit("no MemoryError")
        """
    )
