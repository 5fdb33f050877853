"""Slow, plainly ordered Python versions of the time-series routines, for bit-for-bit comparison."""

import math
import struct
from collections import Counter

NAN = float("nan")


def bits(v):
    return struct.pack("<d", v)


def same_bits(a, b):
    return len(a) == len(b) and all(bits(p) == bits(q) for p, q in zip(a, b))


def fdiv(a, b):
    """IEEE division; Python raises on a zero divisor instead."""
    try:
        return a / b
    except ZeroDivisionError:
        if a != a or a == 0.0:
            return NAN
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def ordered_sum(terms):
    total = terms[0]
    for t in terms[1:]:
        total += t
    return total


def rolling_correlation(x, y, w):
    n = len(x)
    out = [NAN] * n
    for i in range(w - 1, n):
        xs, ys = x[i - w + 1 : i + 1], y[i - w + 1 : i + 1]
        mx = ordered_sum(xs) / float(w)
        my = ordered_sum(ys) / float(w)
        dxs = [v - mx for v in xs]
        dys = [v - my for v in ys]
        var_x = ordered_sum([d * d for d in dxs]) / float(w - 1)
        var_y = ordered_sum([d * d for d in dys]) / float(w - 1)
        if var_x == 0.0 or var_y == 0.0:
            continue
        sxy = ordered_sum([a * b for a, b in zip(dxs, dys)])
        r = fdiv(sxy / float(w - 1), math.sqrt(var_x) * math.sqrt(var_y))
        out[i] = NAN if r != r else r
    return out


def cointegration_spread(y, x):
    n = float(len(x))
    mx = ordered_sum(x) / n
    my = ordered_sum(y) / n
    sxy = ordered_sum([(a - mx) * (b - my) for a, b in zip(x, y)])
    sxx = ordered_sum([(a - mx) * (a - mx) for a in x])
    beta = sxy / sxx
    alpha = my - mx * beta
    e = [b - (a * beta + alpha) for a, b in zip(x, y)]
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
