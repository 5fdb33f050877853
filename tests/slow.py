"""Slow, plainly ordered Python versions of every routine, for bit-for-bit comparison.

One function per module function, under its name (the tests find them by name). Each is the
formula written out with explicit left-to-right loops, one rounding per operation; squares are
written d * d, since pow may round differently.
"""

import math
import struct
from collections import Counter

NAN = float("nan")
# The NaN an invalid operation makes: x86-64's is negative, aarch64's positive.
DEFAULT_NAN = math.inf - math.inf


def bits(v):
    return struct.pack("<d", v)


def quiet_nan(payload, negative=False):
    """The quiet NaN with this payload and sign."""
    return struct.unpack("<d", struct.pack("<Q", (0xFFF8 if negative else 0x7FF8) << 48 | payload))[0]


def same_bits(a, b):
    return len(a) == len(b) and all(bits(p) == bits(q) for p, q in zip(a, b))



def fdiv(a, b):
    """IEEE division; Python raises on a zero divisor instead."""
    try:
        return a / b
    except ZeroDivisionError:
        if a != a:
            return a
        if a == 0.0:
            return DEFAULT_NAN
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


# Where two NaNs meet, x86-64 and aarch64 return the first operand's (these are quiet NaNs); Python's
# own a + b and a * b leave the choice to how CPython was compiled (b's, on x86-64 here). With one NaN
# or none the plain operation gives the processor's bits, so only a NaN first operand needs a rule.
def add(a, b):
    return a if a != a else a + b


def mul(a, b):
    return a if a != a else a * b


def in_order(op, a, b):
    """a op b as the processor does it when NaNs meet: the first NaN operand's bits win (Python's
    own + and * may hand back the second's)."""
    if a != a:
        return a
    if b != b:
        return b
    return fdiv(a, b) if op == "/" else a + b if op == "+" else a - b if op == "-" else a * b


def sum_in_order(terms):
    total = terms[0]
    for t in terms[1:]:
        total = in_order("+", total, t)
    return total


def ordered_sum(terms):
    total = terms[0]
    for t in terms[1:]:
        if total == total:  # add(total, t), inline: a NaN sum stays as it is
            total += t
    return total


def rolling_correlation(x, y, w):
    """A window's own arithmetic decides its NaN's bits; the positions before the first window and
    the windows of zero variance are the positive quiet NaN."""
    n = len(x)
    out = [NAN] * n
    for i in range(w - 1, n):
        xs, ys = x[i - w + 1 : i + 1], y[i - w + 1 : i + 1]
        mx = in_order("/", sum_in_order(xs), float(w))
        my = in_order("/", sum_in_order(ys), float(w))
        dxs = [in_order("-", v, mx) for v in xs]
        dys = [in_order("-", v, my) for v in ys]
        var_x = in_order("/", sum_in_order([in_order("*", d, d) for d in dxs]), float(w - 1))
        var_y = in_order("/", sum_in_order([in_order("*", d, d) for d in dys]), float(w - 1))
        if var_x == 0.0 or var_y == 0.0:
            continue
        sxy = sum_in_order([in_order("*", a, b) for a, b in zip(dxs, dys)])
        out[i] = in_order("/", in_order("/", sxy, float(w - 1)), in_order("*", math.sqrt(var_x), math.sqrt(var_y)))
    return out


def cointegration_spread(y, x):
    n = float(len(x))
    mx = ordered_sum(x) / n
    my = ordered_sum(y) / n
    sxy = ordered_sum([mul(a - mx, b - my) for a, b in zip(x, y)])
    sxx = ordered_sum([(a - mx) * (a - mx) for a in x])
    beta = sxy / sxx
    alpha = my - mul(mx, beta)
    e = [b - add(mul(a, beta), alpha) for a, b in zip(x, y)]
    me = ordered_sum(e) / n
    return beta, alpha, [v - me for v in e]


def discretise(values, bins):
    # Stable sort, NaN after every number.
    ordered = sorted(values, key=lambda v: (v != v, 0.0 if v != v else v))
    m = len(values)
    thresholds = []
    for k in range(1, bins):
        q = (float(k) * float(m - 1)) / float(bins)
        pos = math.floor(q + 0.5)  # q >= 0: halves away from zero
        thresholds.append(ordered[pos])
    return [0 if v != v else sum(1 for t in thresholds if t <= v) for v in values]


def transfer_entropy(source, target, bins, lag, clamp=True):
    n = len(source)
    if lag + 1 >= n:
        return 0.0
    s = discretise(source, bins)
    tg = discretise(target, bins)
    count = n - lag
    triples = [(tg[t + lag], tg[t], s[t]) for t in range(count)]
    c_xyz = Counter(triples)
    c_xy = Counter((a, b) for a, b, _ in triples)
    c_yz = Counter((b, c) for _, b, c in triples)
    c_y = Counter(b for _, b, _ in triples)
    total = 0.0
    for x, y, z in triples:
        p_xyz = float(c_xyz[x, y, z]) / float(count)
        p_xy = float(c_xy[x, y]) / float(count)
        p_yz = float(c_yz[y, z]) / float(count)
        p_y = float(c_y[y]) / float(count)
        total += p_xyz * math.log((p_xyz * p_y) / (p_xy * p_yz))
    return total if total > 0.0 or not clamp else 0.0


# Covariance: every sum left to right from 0.0 (the built-in sum compensates from Python 3.12 on).

def from_zero(terms):
    t = 0.0
    for x in terms:
        t += x
    return t


def squared(d):
    return d * d


def centre(data):
    rows = [[float(v) for v in r] for r in data if all(math.isfinite(v) for v in r)]
    n, p = len(rows), len(rows[0])
    means = [from_zero(r[j] for r in rows) / n for j in range(p)]
    return [[r[j] - means[j] for j in range(p)] for r in rows]


def cross(c, d, s):
    p = len(c[0])
    out = [[0.0] * p for _ in range(p)]
    for i in range(p):
        for j in range(i, p):
            out[i][j] = out[j][i] = mul(from_zero(r[i] * r[j] for r in c) / d, s)
    return out


def sample_covariance_matrix(data, f):
    c = centre(data)
    return cross(c, float(len(c) - 1), f)


def shrink(s, mu, delta, f):
    p = len(s)
    return [[mul(s[i][j] * (1.0 - delta) + (mu if i == j else 0.0) * delta, f) for j in range(p)] for i in range(p)]


def level(s):
    return from_zero(s[i][i] for i in range(len(s))) / len(s)


def clamp(x):
    return 1.0 if x > 1.0 else 0.0 if x < 0.0 else x


def centred_covariance(data):
    """The centred data, its size, the covariance with divisor n and its target level."""
    c = centre(data)
    n, p = len(c), len(c[0])
    s = cross(c, float(n), 1.0)
    return c, n, p, s, level(s)


def ledoit_wolf_covariance_matrix(data, f):
    c, n, p, s, mu = centred_covariance(data)
    d2 = from_zero(squared(s[i][j] - (mu if i == j else 0.0)) for i in range(p) for j in range(p))
    delta = 1.0
    if not d2 <= 0.0:
        b = from_zero(squared(r[j] * r[i] - s[i][j]) for r in c for i in range(p) for j in range(p))
        b2bar = b / float(n * n)
        b2 = d2 if math.isnan(b2bar) else b2bar if math.isnan(d2) else min(b2bar, d2)
        delta = b2 / d2
    return shrink(s, mu, delta, f), clamp(delta)


def oas_covariance_matrix(data, f):
    _, n, p, s, mu = centred_covariance(data)
    alpha = from_zero(v * v for row in s for v in row) / float(p * p)
    num = mu * mu + alpha
    den = (alpha - mu * mu / p) * (float(n) + 1.0)
    rho = 1.0 if den <= 0.0 or math.isnan(num / den) else min(num / den, 1.0)
    return shrink(s, mu, rho, f), clamp(rho)


# The names the covariance tests import.
sample_covariance, ledoit_wolf, oas = sample_covariance_matrix, ledoit_wolf_covariance_matrix, oas_covariance_matrix


def covariance_to_correlation(c):
    """A variance that is not positive counts as 0; a zero product of deviations gives 0."""
    sd = [math.sqrt(c[i][i] if c[i][i] > 0.0 else 0.0) for i in range(len(c))]
    out = []
    for i, row in enumerate(c):
        out.append([min(max(v / (sd[i] * sd[j]), -1.0), 1.0) if sd[i] * sd[j] > 0.0 else 0.0
                    for j, v in enumerate(row)])
        out[i][i] = 1.0
    return out


def correlation_to_covariance(rho, vol):
    return [[mul(mul(v, vol[i]), vol[j]) for j, v in enumerate(row)] for i, row in enumerate(rho)]


# Factor risk.

def factor_risk_decomposition(w, L, F, s):
    """Left to right, one rounding per operation, in the stated order."""
    n, k = len(L), len(L[0])
    b = [0.0] * k
    for i in range(n):
        for j in range(k):
            b[j] = add(mul(w[i], L[i][j]), b[j])
    v = [0.0] * k
    for r in range(k):
        for m in range(k):
            v[r] = add(mul(F[r][m], b[m]), v[r])
    c = [mul(b[j], v[j]) for j in range(k)]
    factor = ordered_sum(c)
    specific = ordered_sum([mul(w[i] * w[i], s[i]) for i in range(n)])
    return (add(factor, specific), factor, specific, c)


# Execution.

def twap_schedule(q, n):
    return [q / n] * n


def vwap_schedule(q, curve):
    total = ordered_sum(curve)
    return [mul(v, q) / total for v in curve]


def almgren_chriss_market_impact(q, sigma, volume, s, eta, gamma):
    a = abs(q)
    p = a / volume
    spread = mul(0.5, mul(a, s))
    temporary = mul(p, mul(sigma, mul(eta, a)))
    permanent = mul(math.sqrt(p), mul(mul(gamma, a), sigma))
    return (spread, temporary, permanent, add(add(temporary, spread), permanent))


def optimal_execution_trajectory(x, n, kappa, mended=True):
    """Linear, expm1 or exponential form, one rounding per operation; mended=False is the unguarded
    exponential formula for every positive risk aversion."""
    if mended and 2.0**-52 <= kappa < 2.0**-26:
        e = math.expm1(-kappa)
        h = [((math.expm1(0.0 if j == 0 else (j / n) * -kappa) - e) * x) / -e for j in range(n + 1)]
    elif kappa > 0 and (kappa >= 2.0**-52 or not mended):
        e = math.exp(-kappa)
        first = 0.0 if mended else (0 / n) * -kappa
        h = [fdiv((math.exp(first if j == 0 else (j / n) * -kappa) - e) * x, 1.0 - e) for j in range(n + 1)]
    else:
        h = [(1.0 - j / n) * x for j in range(n + 1)]
    h[n] = 0.0
    return (h, [h[i] - h[i + 1] for i in range(n)])
