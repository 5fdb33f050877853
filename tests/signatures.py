"""One test record per module function; every cross-cutting test and tool loops over them.

A record holds a valid call, the invariant any result satisfies, the fingerprint inputs and the
size parameters that count the result's entries. The oracle is `slow.<name>`; parameter names come
from the module's own signature and their kinds from the stub's annotations. Records are grouped
by family, the order the fingerprint prints them in.
"""

import array
import ast
import inspect
import math
import pathlib
import random
import struct
from dataclasses import dataclass, field
from typing import Callable

import slow
import valmora

STUB = pathlib.Path(__file__).resolve().parents[1] / "python" / "valmora-stubs" / "__init__.pyi"
KINDS = {"_Real": "real", "SupportsIndex": "size", "_Vector": "vector", "_Matrix": "matrix"}


def stub_kinds():
    """name -> {parameter: kind}, from the stub's annotations."""
    tree = ast.parse(STUB.read_text())
    return {f.name: {a.arg: KINDS[ast.unparse(a.annotation)] for a in f.args.args}
            for f in tree.body if isinstance(f, ast.FunctionDef)}


@dataclass
class Record:
    call: tuple  # one successful call, by position
    invariant: Callable  # (args, result) -> bool, true of every successful result
    fingerprint: Callable  # fixed inputs -> [(label suffix, args)]; records sharing one run side by side
    counts: tuple = ()  # size parameters counting the result's entries: huge ones cannot be allocated
    # {label: (setup, call)}: calls that run for seconds, for the Ctrl-C checks; none where no call
    # that fits in memory runs long (scalars, a p x p conversion)
    long: dict = field(default_factory=dict)
    # inputs holding NaNs of both signs with payloads of their own, and values that make NaNs, where
    # two meet in an operation: [(label, args)], compared with the oracle NaN bits and all
    nans: Callable = lambda: []
    name: str = ""
    params: list = field(default_factory=list)  # [(parameter, kind)]

    @property
    def function(self):
        return getattr(valmora, self.name)

    @property
    def oracle(self):
        return getattr(slow, self.name)

    def replaced(self, index, value):
        """The valid call with one argument replaced."""
        return self.call[:index] + (value,) + self.call[index + 1:]


# ---- invariants

def floats(v, length=None):
    return type(v) is list and all(type(x) is float for x in v) and (length is None or len(v) == length)


def square(m):
    return type(m) is list and m != [] and all(floats(r, len(m)) for r in m)


def symmetric(m):
    return square(m) and all(same(m[i][j], m[j][i]) for i in range(len(m)) for j in range(i))


def shrunk(args, r):
    return type(r) is tuple and symmetric(r[0]) and type(r[1]) is float and (r[1] != r[1] or 0.0 <= r[1] <= 1.0)


def correlations(args, r):
    return square(r) and all(row[i] == 1.0 and all(v != v or -1.0 <= v <= 1.0 for v in row) for i, row in enumerate(r))


def trajectory(args, r):
    return type(r) is tuple and floats(r[0]) and floats(r[1], len(r[0]) - 1) and r[1] != [] and r[0][-1] == 0.0


# ---- fingerprint inputs: random.Random's random() sequence is the same on every Python version, and
# only plain float arithmetic shapes the values. Each series and matrix goes in both as lists and as
# array.array buffers, sized to run the vector kernels and their scalar tails.

def series(rng, n, scale=0.01):
    return [(rng.random() - 0.5) * scale for _ in range(n)]


def matrix(rng, rows, cols):
    return [series(rng, cols) for _ in range(rows)]


def buffers(m):
    return [array.array("d", row) for row in m]


def fingerprint_inputs():
    rng = random.Random(20240611)
    f = {"data": matrix(rng, 307, 13), "wide": matrix(rng, 61, 45)}
    f["data"][5][3] = float("nan")  # one incomplete observation, dropped by the estimators
    x, y = series(rng, 5003), series(rng, 5003)
    f.update(x=x, y=[a * 0.6 + b for a, b in zip(x, y)], cov=valmora.sample_covariance_matrix(f["data"], 252.0))
    f.update(vol=[abs(v) * 10.0 + 0.05 for v in series(rng, 13)], weights=series(rng, 301, 1.0),
             loadings=matrix(rng, 301, 7), factor_cov=valmora.sample_covariance_matrix(matrix(rng, 50, 7), 1.0))
    f.update(specific=[abs(v) for v in series(rng, 301, 0.001)], volume=[rng.random() * 1000.0 for _ in range(391)])
    return f


# ---- NaN cases: quiet NaNs, each with a sign and payload of its own, among infinities and zeros
# whose sums and products make the processor's default NaN; enough of them that two meet in most
# operations, in shapes that run the vector kernels and their tails.

def quiet_nan(rng):
    bits = 0x7FF8000000000000 | rng.getrandbits(1) << 63 | 1 + rng.getrandbits(40)
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def spiked(rng, n, share=0.2):
    def one():
        r = rng.random()
        return quiet_nan(rng) if r < share else rng.choice([math.inf, -math.inf, 0.0]) if r < 1.5 * share \
            else rng.uniform(-2.0, 2.0)
    return [one() for _ in range(n)]


def nan_cases(make, seeds=range(4)):
    """make(rng, seed) -> args, for a few seeds."""
    return lambda: [(f"NaN {seed}", make(random.Random(seed), seed)) for seed in seeds]


def estimator_nans(rng, seed):
    # A column of the largest doubles overflows its mean, and its products with the other columns
    # sum to inf - inf, the default NaN, which meets a NaN `frequency`; tiled and packed
    # cross-products. The NaN row is dropped.
    p = (3, 13, 17, 45)[seed]
    data = [[rng.choice([1e308, -1e308]) if rng.random() < 0.1 else rng.uniform(-2.0, 2.0) for _ in range(p)]
            for _ in range(9)]
    column = rng.randrange(p)
    for row in data:
        row[column] = 1e308
    data[2][0] = quiet_nan(rng)
    return data, quiet_nan(rng)


def risk_nans(rng, seed):
    # Factors around eight lanes, four and the scalar tail: NaNs everywhere; then in two columns of
    # the loadings only, and there in F too, where they meet NaN exposures while the other
    # exposures stay numbers and show F b's NaNs in the contributions.
    n, k = [(5, 7), (9, 13), (6, 17), (3, 2)][seed % 4]
    if seed < 4:
        return spiked(rng, n), [spiked(rng, k) for _ in range(n)], [spiked(rng, k) for _ in range(k)], spiked(rng, n)
    w, s = spiked(rng, n, 0.0), spiked(rng, n, 0.0)
    L, F = [spiked(rng, k, 0.0) for _ in range(n)], [spiked(rng, k, 0.0) for _ in range(k)]
    for j in rng.sample(range(k), 2):
        L[rng.randrange(n)][j] = quiet_nan(rng)
        for row in F:
            row[j] = quiet_nan(rng) if rng.random() < 0.5 else row[j]
    return w, L, F, s


def estimator_inputs(f):
    return [(f"{name} {kind}", (m if kind == "list" else buffers(m), 252.0))
            for name in ("data", "wide") for kind in ("list", "buffer") for m in [f[name]]]


def estimator(invariant, shape):
    return Record(([[1.0, 2.0], [3.0, 6.0], [2.0, 5.0]], 252.0), invariant, estimator_inputs,
                  long={"": (f"d = rng.standard_normal({shape})", "valmora.NAME(d, 1.0)")},
                  nans=nan_cases(estimator_nans))


def plain(make):
    """A single fingerprint call, unlabelled."""
    return lambda f: [("", make(f))]


# Lengths in each valid call are distinct where they mean different things, so that a fuzzer can
# draw a new length for each.
RECORDS = {
    "sample_covariance_matrix": estimator(lambda a, r: symmetric(r), (100_000, 800)),
    "ledoit_wolf_covariance_matrix": estimator(shrunk, (40_000, 700)),
    "oas_covariance_matrix": estimator(shrunk, (100_000, 800)),
    "covariance_to_correlation": Record(([[4.0, 2.0], [2.0, 9.0]],), correlations, plain(lambda f: (f["cov"],))),
    "correlation_to_covariance": Record(
        ([[1.0, 0.5], [0.5, 1.0]], [0.1, 0.2]), lambda a, r: square(r),
        plain(lambda f: (valmora.covariance_to_correlation(f["cov"]), f["vol"])),
        nans=nan_cases(lambda rng, seed: ([spiked(rng, 5) for _ in range(5)], spiked(rng, 5, 0.4)))),
    "factor_risk_decomposition": Record(
        ([0.5, 0.3, 0.2], [[1.0, 0.2], [0.8, 0.1], [0.3, 0.6]], [[0.04, 0.01], [0.01, 0.09]], [0.01, 0.02, 0.03]),
        lambda a, r: type(r) is tuple and len(r) == 4 and all(type(v) is float for v in r[:3])
        and floats(r[3]) and r[3] != [],
        lambda f: [("", (f["weights"], f["loadings"], f["factor_cov"], f["specific"])),
                   ("buffer", (array.array("d", f["weights"]), buffers(f["loadings"]), f["factor_cov"],
                               array.array("d", f["specific"])))],
        nans=nan_cases(risk_nans, range(8))),
    "rolling_correlation": Record(
        ([1.0, 2.0, 3.0, 4.0], [2.0, 1.0, 4.0, 3.0], 2), lambda a, r: floats(r),
        lambda f: [(f"w{w}", (f["x"], f["y"], w)) for w in (2, 20, 252)]
        + [("buffer", (array.array("d", f["x"]), memoryview(array.array("d", f["y"])), 63))],
        long={"": ("x = rng.standard_normal(20_000_000); y = x[::-1].copy()", "valmora.rolling_correlation(x, y, 1000)")},
        # Windows of the lane blocks and of their tails, over series with a few NaNs of both signs and
        # infinities between, where NaNs of two kinds meet in a window.
        nans=nan_cases(lambda rng, seed: (spiked(rng, 203, 0.03), spiked(rng, 203, 0.03), (2, 7, 20)[seed % 3]),
                       range(9))),
    "cointegration_spread": Record(
        ([3.0, 5.0, 4.0], [1.0, 2.0, 3.0]),
        lambda a, r: type(r) is tuple and type(r[0]) is float and type(r[1]) is float and floats(r[2]) and r[2] != [],
        plain(lambda f: (f["y"], f["x"])),
        long={"": ("y = rng.standard_normal(30_000_000); x = np.sin(y)", "valmora.cointegration_spread(y, x)")},
        nans=nan_cases(lambda rng, seed: (spiked(rng, 7 + 20 * seed, 0.1), spiked(rng, 7 + 20 * seed, 0.1)))),
    "transfer_entropy": Record(
        ([0.1, 0.9, 0.2, 0.8, 0.7], [0.5, 0.1, 0.9, 0.2, 0.8], 2, 1), lambda a, r: type(r) is float and r >= 0.0,
        lambda f: [(f"b{b} l{lag}", (f["x"], f["y"], b, lag)) for b, lag in ((2, 1), (4, 1), (8, 3))],
        long={"": ("s = rng.standard_normal(30_000_000); t = np.roll(s, 1)", "valmora.transfer_entropy(s, t, 5000, 1)"),
              "a threshold per value": ("s = rng.standard_normal(4_000_000); t = np.roll(s, 1)",
                                        "valmora.transfer_entropy(s, t, 2**63, 1)")}),
    "twap_schedule": Record(
        # Equal slices are one float repeated, made in one step as [x] * n is: no call runs long.
        (100.0, 4), lambda a, r: floats(r, int(a[1])) and r != [], plain(lambda f: (1234.5, 97)), counts=("periods",),
        nans=nan_cases(lambda rng, seed: (quiet_nan(rng), 3), range(2))),
    "vwap_schedule": Record(
        (100.0, [1.0, 1.0, 2.0]), lambda a, r: floats(r) and r != [],
        lambda f: [("", (1234.5, f["volume"])), ("buffer", (1234.5, array.array("d", f["volume"])))],
        long={"of a huge range": ("", "valmora.vwap_schedule(1.0, range(2**62))")},
        # A NaN total meets NaN volumes, and a NaN quantity (the first two) meets both.
        nans=nan_cases(lambda rng, seed: (quiet_nan(rng) if seed < 2 else 7.5, [abs(v) for v in spiked(rng, 9 + seed, 0.3)]))),
    "almgren_chriss_market_impact": Record(
        (1000.0, 0.02, 1e6, 0.01, 0.1, 0.5), lambda a, r: type(r) is tuple and len(r) == 4
        and all(type(v) is float for v in r), plain(lambda f: (25000.0, 0.02, 1.5e6, 0.0004, 0.1, 0.05)),
        nans=nan_cases(lambda rng, seed: tuple((abs(v) or math.inf) if i == 2 else v for i, v in enumerate(spiked(rng, 6, 0.5))),
                       range(12))),
    "optimal_execution_trajectory": Record(
        (100.0, 4, 1.0), trajectory, lambda f: [(f"{k}", (1e5, 64, k)) for k in (0.0, 1e-6, 0.5)], counts=("periods",),
        long={"": ("", "valmora.optimal_execution_trajectory(1.0, 30_000_000, 1.0)")},
        # A NaN quantity in every form: linear, expm1, exp, and at infinite and NaN risk aversion.
        nans=nan_cases(lambda rng, seed: (quiet_nan(rng), 3, (0.0, 2.0**-52, 1e-9, 2.0**-26, 0.5, math.inf,
                                                              math.nan, 2.0**-60)[seed]), range(8))),
}

_unpaired = set(valmora.__all__[1:]) ^ set(RECORDS)
assert not _unpaired, f"each module function needs one test record, and each record a function: {_unpaired}"
_KINDS = stub_kinds()
for _name, _record in RECORDS.items():
    _record.name = _name
    _record.long = {label: (setup, call.replace("NAME", _name)) for label, (setup, call) in _record.long.items()}
    _record.params = [(p, _KINDS[_name][p]) for p in inspect.signature(getattr(valmora, _name)).parameters]

VALID = {name: r.call for name, r in RECORDS.items()}


def same(a, b, nan_bits=False):
    """Equal as results: floats compared bit for bit (NaN equals NaN, unless nan_bits: then its sign
    and payload too), recursively."""
    if isinstance(a, float) and isinstance(b, float):
        if a != a or b != b:
            return a != a and b != b and (not nan_bits or struct.pack("<d", a) == struct.pack("<d", b))
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y, nan_bits) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


def outcome(f, *args):
    """("ok", result) or (exception type, message): what a call gave, for comparing two calls."""
    try:
        return "ok", f(*args)
    except Exception as e:  # noqa: BLE001 - the exception itself is what we compare
        return type(e), str(e)


def assert_same_outcome(a, b):
    assert a[0] == b[0], (a, b)
    assert same(a[1], b[1]) if a[0] == "ok" else a[1] == b[1], (a, b)
