"""pandas and polars frames and series: read by position with the bits of their arrays; labels
that disagree, columns that are not numbers, and pandas' missing value."""

import datetime
import re

import pytest

import valmora
from signatures import VALID, outcome, same

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")

pytestmark = pytest.mark.conversion

BY_POSITION = "; pass .to_numpy() to pair by position"  # ends every label refusal


def frames(values):
    """pandas (labelled by date) and polars objects holding `values` (1-D: Series, 2-D: DataFrame)."""
    arr = np.asarray(values)
    index = pd.date_range("2024-01-01", periods=len(arr))
    yield pd.Series(arr, index=index) if arr.ndim == 1 else pd.DataFrame(arr, index=index)
    yield pl.Series(arr) if arr.ndim == 1 else pl.DataFrame(arr)


def test_frames_and_series_give_the_bits_of_their_arrays(sequence_param):
    function, index, _, _ = sequence_param
    f = getattr(valmora, function)
    args = list(VALID[function])
    for frame in frames(args[index]):
        with_frame = args.copy()
        with_frame[index] = frame
        with_array = args.copy()
        with_array[index] = frame.to_numpy()
        a, b = outcome(f, *with_frame), outcome(f, *with_array)
        assert a[0] == b[0] and (same(a[1], b[1]) if a[0] == "ok" else a[1] == b[1]), (a, b)


@pytest.mark.parametrize("columns", [
    {"a": [0.1, np.nan, 0.3, 0.2, 0.5], "b": [1.0, 2.0, 4.0, 3.0, 3.5]},  # a NaN row, dropped
    {"a": [1, 2, 4, 3, 7], "b": [5, 3, 2, 2, 1]},                          # integer columns
    {"a": [True, False, True, True, False], "b": [1.5, 2.5, 0.5, 1.0, 2.0]},
    {"a": [1, 2, 4, 3, 7], "b": [True, False, True, True, False]},         # object dtype
])
def test_dataframe_rows_are_observations(columns):
    df = pd.DataFrame(columns, index=pd.date_range("2024-01-01", periods=5))
    for name in ("sample_covariance_matrix", "ledoit_wolf_covariance_matrix", "oas_covariance_matrix"):
        f = getattr(valmora, name)
        assert same(f(df, 252), f(df.to_numpy(), 252))
        assert same(f(pl.from_pandas(df), 252), f(df.to_numpy(), 252))
    assert same(valmora.vwap_schedule(1.0, df["b"]), valmora.vwap_schedule(1.0, df["b"].to_numpy()))


class Offers:
    """An __array__ that returns `value` and counts its calls; nothing else."""

    def __init__(self, value):
        self.value, self.calls = value, 0

    def __array__(self, *args, **kwargs):
        self.calls += 1
        return self.value


def test_array_offered_once_and_a_non_array_falls_back_to_todays_path():
    offers = Offers(np.array([1.0, 3.0]))
    assert valmora.vwap_schedule(1.0, offers) == [0.25, 0.75] and offers.calls == 1
    with pytest.raises(TypeError, match="^argument 'volume_curve': 'Offers' object is not an instance of 'Sequence'$"):
        valmora.vwap_schedule(1.0, Offers([1.0, 3.0]))


# An Arrow stream export that is not a capsule says nothing of the columns.
NoStream = type("NoStream", (Offers,), {"__arrow_c_stream__": lambda self, requested_schema=None: None})


class Unprintable(int):
    def __repr__(self):
        raise RuntimeError("no repr")


def test_odd_label_and_column_objects_give_an_answer_not_an_error():
    x, y = np.array([1.0, 2.0, 4.0]), np.array([2.0, 1.0, 5.0])
    assert same(valmora.cointegration_spread(NoStream(y), NoStream(x)), valmora.cointegration_spread(y, x))
    index = pd.Index([Unprintable(0), Unprintable(1), Unprintable(2)], dtype=object)
    with pytest.raises(ValueError, match="^argument 'x' index and argument 'y' index: labels differ at position 0"
                                         + re.escape(BY_POSITION) + "$"):
        valmora.rolling_correlation(pd.Series(x, index=index), pd.Series(y, index=index[::-1]), 2)


def test_frame_after_a_lent_array_cannot_change_it():
    data = np.array([[1.0, 0.5], [0.5, 1.0]])
    expected = valmora.correlation_to_covariance(data.tolist(), [0.1, 0.2])

    class Zeroing(Offers):
        def __array__(self, *args, **kwargs):
            data[...] = 0.0
            return super().__array__()

    assert valmora.correlation_to_covariance(data, Zeroing(np.array([0.1, 0.2]))) == expected


# ---------------------------------------------------------------- labels

# The axes each function reads in step: (argument position, "index" or "columns").
PAIRINGS = [
    ("factor_risk_decomposition", [(0, "index"), (1, "index"), (3, "index")]),
    ("factor_risk_decomposition", [(1, "columns"), (2, "index"), (2, "columns")]),
    ("correlation_to_covariance", [(0, "index"), (0, "columns"), (1, "index")]),
    ("covariance_to_correlation", [(0, "index"), (0, "columns")]),
    ("rolling_correlation", [(0, "index"), (1, "index")]),
    ("cointegration_spread", [(0, "index"), (1, "index")]),
    ("transfer_entropy", [(0, "index"), (1, "index")]),
]
PAIRING_IDS = [f"{f}-{'-'.join(f'{p}{a[0]}' for p, a in members)}" for f, members in PAIRINGS]


def labelled(function, labels):
    """VALID's arguments with pandas labels: `labels` maps (position, axis) to a label list."""
    args = list(VALID[function])
    for position, value in enumerate(args):
        if not isinstance(value, list):
            continue
        index = labels.get((position, "index"))
        if isinstance(value[0], list):
            args[position] = pd.DataFrame(value, index=index, columns=labels.get((position, "columns")))
        else:
            args[position] = pd.Series(value, index=index)
    return args


def names(function, member):
    position, axis = member
    value = VALID[function][position]
    return [f"L{k}" for k in range(len(value[0]) if axis == "columns" else len(value))]


def param(function, position):
    return valmora.__dict__[function].__text_signature__.strip("()").split(", ")[position]


@pytest.mark.parametrize("pairing", PAIRINGS, ids=PAIRING_IDS)
def test_agreeing_labels_keep_the_bits(pairing):
    function, members = pairing
    args = labelled(function, {m: names(function, m) for m in members})
    assert same(getattr(valmora, function)(*args), getattr(valmora, function)(*VALID[function]))


@pytest.mark.parametrize("pairing", PAIRINGS, ids=PAIRING_IDS)
def test_labels_in_another_order_are_refused_naming_both_arguments(pairing):
    function, members = pairing
    first = members[0]
    for other in members[1:]:
        reversed_labels = names(function, other)[::-1]
        args = labelled(function, {m: names(function, m) for m in members} | {other: reversed_labels})
        expected = (f"argument '{param(function, first[0])}' {first[1]} and argument '{param(function, other[0])}' "
                    f"{other[1]}: labels differ at position 0: 'L0' != '{reversed_labels[0]}'{BY_POSITION}")
        with pytest.raises(ValueError) as raised:
            getattr(valmora, function)(*args)
        assert str(raised.value) == expected


class Incomparable:
    """A label whose == raises TypeError: it says nothing about the labels beside it."""

    def __init__(self, i):
        self.i = i

    def __eq__(self, other):
        raise TypeError("not comparable")

    __hash__ = object.__hash__

    def __repr__(self):
        return f"L({self.i})"


DATES = pd.date_range("2024-01-01", periods=3)


# None is pandas' default index, 0, 1, 2: compared with another pandas argument's labels.
@pytest.mark.parametrize("index, other, message", [
    ([np.nan, 1.0, 2.0], [np.nan, 1.0, 2.0], None),
    ([np.nan, 1.0, 2.0], [np.nan, 1.0, 9.0], "labels differ at position 2: 2.0 != 9.0"),
    (["A", "B", "A"], ["A", "B", "A"], "argument 'x' index: label 'A' appears more than once"),
    ([0.5, 1.5, 0.5], [0.5, 1.5, 0.5], "argument 'x' index: label 0.5 appears more than once"),
    (None, None, None),
    (None, [0, 1, 2], None),
    (None, DATES, "labels differ at position 0: 0 != Timestamp('2024-01-01 00:00:00')"),
    (["a", "b", "c"], None, "labels differ at position 0: 'a' != 0"),
    (None, [0, 2, 1], "labels differ at position 1: 1 != 2"),
    (None, pd.RangeIndex(1, 4), "labels differ at position 0: 0 != 1"),
    (None, pd.RangeIndex(0, 6, 2), "labels differ at position 1: 1 != 2"),
    ([Incomparable(k) for k in range(3)], [Incomparable(k) for k in range(3)], None),
    ([Incomparable(0), "b", "c"], [Incomparable(0), "b", "x"], "labels differ at position 2: 'c' != 'x'"),
])
def test_nan_repeated_default_and_incomparable_labels(index, other, message):
    x, y = [1.0, 2.0, 4.0], [2.0, 1.0, 5.0]
    args = pd.Series(x, index=index), pd.Series(y, index=other)
    if message is None:
        assert same(valmora.cointegration_spread(*args[::-1]), valmora.cointegration_spread(y, x))
    else:
        with pytest.raises(ValueError, match=re.escape(message + BY_POSITION) + "$"):
            valmora.rolling_correlation(*args, 2)


def test_polars_column_names_are_labels():
    correlation = pl.DataFrame([[1.0, 0.5], [0.5, 1.0]], schema=["MSFT", "AAPL"], orient="row")
    volatility = pd.Series([0.1, 0.2], index=["MSFT", "AAPL"])
    assert valmora.correlation_to_covariance(correlation, volatility) == valmora.correlation_to_covariance(
        *VALID["correlation_to_covariance"])
    with pytest.raises(ValueError, match="^argument 'correlation' columns and argument 'volatility' index: labels "
                                         "differ at position 0: 'MSFT' != 'AAPL'" + re.escape(BY_POSITION) + "$"):
        valmora.correlation_to_covariance(correlation, volatility[::-1])


@pytest.mark.parametrize("unlabelled", ["numpy", "list", "polars", "default index"])
@pytest.mark.parametrize("pairing", PAIRINGS, ids=PAIRING_IDS)
def test_a_side_without_labels_is_read_by_position_and_a_default_index_follows_pandas_labels(pairing, unlabelled):
    function, members = pairing
    last = members[-1]
    # Only the last member is labelled, in reverse; every other argument carries no labels, or
    # pandas' default index, which is held to another pandas argument's labels (not its own).
    args = labelled(function, {last: names(function, last)[::-1]})
    for position in {p for p, _ in members} - {last[0]}:
        value = VALID[function][position]
        args[position] = {"numpy": np.asarray(value), "list": value, "default index": labelled(function, {})[position],
                          "polars": pl.Series(value) if not isinstance(value[0], list) else pl.DataFrame(np.asarray(value))
                          }[unlabelled]
    other = next((m for m in members if m[0] != last[0]), None)
    if unlabelled != "default index" or other is None:
        assert same(getattr(valmora, function)(*args), getattr(valmora, function)(*VALID[function]))
        return
    with pytest.raises(ValueError) as raised:
        getattr(valmora, function)(*args)
    assert str(raised.value) == (f"argument '{param(function, other[0])}' {other[1]} and argument "
                                 f"'{param(function, last[0])}' {last[1]}: labels differ at position 0: "
                                 f"0 != '{names(function, last)[-1]}'{BY_POSITION}")


# ---------------------------------------------------------------- columns that are not numbers

pa = pytest.importorskip("pyarrow")
DAYS = [datetime.date(2024, 1, d) for d in range(1, 6)]
TIMES = [datetime.time(9, m) for m in range(5)]


def arrow(values, kind):
    return pd.Series(pd.array(values, dtype=pd.ArrowDtype(kind)))


# What each column holds: a pandas, a pyarrow-backed pandas and a polars column of that kind.
NOT_NUMBERS = {
    "dates": (pd.Series(pd.to_datetime(DAYS)), arrow(DAYS, pa.date32()), pl.Series(DAYS)),
    "durations": (pd.Series(pd.to_timedelta(range(5), unit="D")), None,
                  pl.Series([datetime.timedelta(d) for d in range(5)])),
    "times": (None, arrow(TIMES, pa.time64("us")), pl.Series(TIMES)),  # pandas has no column of times
    "strings": (pd.Series(list("abcde"), dtype="string"), arrow(list("abcde"), pa.string()), pl.Series(list("abcde"))),
    "categories": (pd.Series([1, 2, 1, 2, 3], dtype="category"),
                   arrow([1, 2, 1, 2, 3], pa.dictionary(pa.int8(), pa.int64())),
                   pl.Series(list("abcab"), dtype=pl.Categorical)),
    "bytes": (None, arrow([b"a"] * 5, pa.binary()), pl.Series([b"a"] * 5)),
    "lists": (None, arrow([[1]] * 5, pa.list_(pa.int64())), pl.Series([[1]] * 5)),
    "structs": (None, None, pl.Series([{"x": 1}] * 5)),
}
LIBRARIES = ["pandas", "pyarrow", "polars"]


@pytest.mark.parametrize("held, library", [(held, library) for held, columns in NOT_NUMBERS.items()
                                            for library, column in zip(LIBRARIES, columns) if column is not None])
def test_columns_that_are_not_numbers_are_refused_by_name(held, library):
    column = NOT_NUMBERS[held][LIBRARIES.index(library)]
    values = [1.0, 2.0, 4.0, 3.0, 7.0]
    if library != "polars":
        frame, series = pd.DataFrame({"a": values, "when": column}), column.rename("when")
    else:
        frame, series = pl.DataFrame({"a": values, "when": column}), column.alias("when")
    with pytest.raises(TypeError, match=f"^argument 'data': column 'when' holds {held}, not numbers$"):
        valmora.sample_covariance_matrix(frame, 252)
    with pytest.raises(TypeError, match=f"^argument 'y': column 'when' holds {held}, not numbers$"):
        valmora.cointegration_spread(series, values)
    unnamed = column.alias("") if library == "polars" else column.rename(None)
    with pytest.raises(TypeError, match=f"^argument 'x': the series holds {held}, not numbers$"):
        valmora.rolling_correlation(unnamed, values, 2)


@pytest.mark.parametrize("shadow", ["dtype", "dtypes", "columns", "index", "shape", "schema"])
def test_a_column_named_as_a_frame_attribute_is_still_checked(shadow):
    frame = pd.DataFrame({"a": [1.0, 2.0, 4.0], shadow: pd.Series([1, 2, 1], dtype="category")})
    with pytest.raises(TypeError, match=f"^argument 'data': column '{shadow}' holds categories, not numbers$"):
        valmora.sample_covariance_matrix(frame, 252)


def test_numbers_of_every_library_pass_and_polars_chunks_are_not_merged_to_read_kinds():
    ints, flags = [1, 5, 2, 4, 3], [True, False, True, True, False]
    frame = pd.DataFrame({"i": pd.array(ints, dtype="int64[pyarrow]"), "b": pd.array(flags, dtype="bool[pyarrow]")})
    expected = valmora.sample_covariance_matrix(np.array([ints, flags], dtype=float).T, 252)
    assert valmora.sample_covariance_matrix(frame, 252) == expected
    # Object columns, pandas' and polars' alike, are read one element at a time: numbers pass, and
    # anything else is refused as the element it is.
    objects = pl.DataFrame({"i": pl.Series(ints, dtype=pl.Object), "b": flags})
    assert valmora.sample_covariance_matrix(objects, 252) == expected
    for words in (pd.Series(list("abcde"), dtype=object), pl.Series(list("abcde"), dtype=pl.Object)):
        with pytest.raises(TypeError, match="^argument 'x': must be real number, not str$"):
            valmora.rolling_correlation(words, ints, 2)
    chunked = pl.concat([pl.DataFrame({"i": ints[:2], "b": flags[:2]}), pl.DataFrame({"i": ints[2:], "b": flags[2:]})],
                        rechunk=False)
    assert chunked.n_chunks() == 2
    # A frame asked for its Arrow stream is merged into one chunk first (a full copy).
    streams, saved = [], type(chunked).__arrow_c_stream__
    type(chunked).__arrow_c_stream__ = lambda self, *args, **kwargs: streams.append(1) or saved(self, *args, **kwargs)
    try:
        assert valmora.sample_covariance_matrix(chunked, 252) == expected and streams == []
    finally:
        type(chunked).__arrow_c_stream__ = saved


# ---------------------------------------------------------------- pandas' missing value


def test_pandas_missing_value_gives_the_bits_of_nan():
    with_na = pd.DataFrame({"a": pd.array([0.1, None, 0.3, 0.2, 0.5, 0.4], dtype="Float64"),
                            "b": pd.array([1, 5, 3, None, 2, 4], dtype="Int64"),
                            "c": [1.0, 2.0, 4.0, 3.0, 3.5, 1.5]})
    with_nan = with_na.astype("float64")
    assert with_na.isna().sum().sum() == 2 and np.isnan(with_nan.to_numpy()).sum() == 2
    for name in ("sample_covariance_matrix", "ledoit_wolf_covariance_matrix", "oas_covariance_matrix"):
        f = getattr(valmora, name)
        assert same(f(with_na, 252), f(with_nan, 252))
    assert same(valmora.rolling_correlation(with_na["a"], with_na["b"], 2),
                valmora.rolling_correlation(with_nan["a"].tolist(), with_nan["b"].tolist(), 2))
    assert same(valmora.vwap_schedule(1.0, [1.0, pd.NA]), valmora.vwap_schedule(1.0, [1.0, float("nan")]))


@pytest.mark.parametrize("with_null", [pd.Series([True, pd.NA, False], dtype="boolean"), pl.Series([True, None, False]),
                                       pl.Series([1, None, 0]), pl.Series([1.0, None, 0.0])],
                         ids=["pandas boolean", "polars boolean", "polars int", "polars float"])
def test_nulls_of_every_numeric_kind_read_as_nan(with_null):
    assert same(valmora.rolling_correlation(with_null, [1.0, 2.0, 4.0], 2),
                valmora.rolling_correlation([1.0, float("nan"), 0.0], [1.0, 2.0, 4.0], 2))


def test_none_and_missing_scalars_keep_their_conversion_errors():
    with pytest.raises(TypeError, match="^argument 'volume_curve': must be real number, not NoneType$"):
        valmora.vwap_schedule(1.0, [1.0, None])
    with pytest.raises(TypeError, match="^argument 'frequency': must be real number, not NAType$"):
        valmora.sample_covariance_matrix([[1.0, 2.0], [3.0, 5.0], [4.0, 4.0]], pd.NA)
