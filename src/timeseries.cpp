#include "timeseries.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>

#include "lanes.hpp"
#include "stop.hpp"
#include "summation.hpp"

namespace valmora {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- rolling correlation ----

// The zero-variance test and the quotient, shared by the scalar and the vector paths.
// A NaN result is reported as the positive quiet NaN, whatever payload the hardware made.
double finish_window(double sxx, double syy, double sxy, double divisor) {
    const double var_x = sxx / divisor;
    const double var_y = syy / divisor;
    if (var_x == 0.0 || var_y == 0.0) return kNaN;
    const double r = (sxy / divisor) / (std::sqrt(var_x) * std::sqrt(var_y));
    return std::isnan(r) ? kNaN : r;
}

// One window of w values starting at x and y, summed in index order from its first element.
double window_correlation(const double* x, const double* y, std::size_t w) {
    double sx = x[0];
    double sy = y[0];
    for (std::size_t k = 1; k < w; ++k) {
        sx += x[k];
        sy += y[k];
    }
    const double count = static_cast<double>(w);
    const double mx = sx / count;
    const double my = sy / count;
    double dx = x[0] - mx;
    double dy = y[0] - my;
    double sxx = dx * dx;
    double syy = dy * dy;
    double sxy = dx * dy;
    for (std::size_t k = 1; k < w; ++k) {
        dx = x[k] - mx;
        dy = y[k] - my;
        sxx += dx * dx;
        syy += dy * dy;
        sxy += dx * dy;
    }
    return finish_window(sxx, syy, sxy, static_cast<double>(w - 1));
}

// U vectors of consecutive windows at once, lane j of vector u holding the window that starts
// at x + u * lanes + j. Every lane performs exactly the operations of window_correlation in
// the same order; lanes never mix, so each output has the scalar bits. Several vectors per
// block keep independent accumulator chains in flight.
template <std::size_t L, std::size_t U>
[[gnu::always_inline]] inline void correlate_block(const double* x, const double* y, std::size_t w, double* out) {
    using Lanes = lanes::Vec<L>;
    using lanes::load;
    Lanes sx[U], sy[U];
#pragma GCC unroll 8
    for (std::size_t u = 0; u < U; ++u) {
        load(sx[u], x + u * L);
        load(sy[u], y + u * L);
    }
    for (std::size_t k = 1; k < w; ++k) {
#pragma GCC unroll 8
        for (std::size_t u = 0; u < U; ++u) {
            Lanes vx, vy;
            load(vx, x + u * L + k);
            load(vy, y + u * L + k);
            sx[u] += vx;
            sy[u] += vy;
        }
    }
    Lanes count;
    for (std::size_t j = 0; j < L; ++j) count[j] = static_cast<double>(w);
    Lanes mx[U], my[U], sxx[U], syy[U], sxy[U];
#pragma GCC unroll 8
    for (std::size_t u = 0; u < U; ++u) {
        mx[u] = sx[u] / count;
        my[u] = sy[u] / count;
        Lanes dx, dy;
        load(dx, x + u * L);
        load(dy, y + u * L);
        dx -= mx[u];
        dy -= my[u];
        sxx[u] = dx * dx;
        syy[u] = dy * dy;
        sxy[u] = dx * dy;
    }
    for (std::size_t k = 1; k < w; ++k) {
#pragma GCC unroll 8
        for (std::size_t u = 0; u < U; ++u) {
            Lanes dx, dy;
            load(dx, x + u * L + k);
            load(dy, y + u * L + k);
            dx -= mx[u];
            dy -= my[u];
            sxx[u] += dx * dx;
            syy[u] += dy * dy;
            sxy[u] += dx * dy;
        }
    }
    const double divisor = static_cast<double>(w - 1);
#pragma GCC unroll 8
    for (std::size_t u = 0; u < U; ++u) {
        for (std::size_t j = 0; j < L; ++j) out[u * L + j] = finish_window(sxx[u][j], syy[u][j], sxy[u][j], divisor);
    }
}

// Fills whole blocks of windows (out[s] for the window starting at s) and returns how many
// windows were done; the caller finishes the rest one by one.
template <std::size_t L>
[[gnu::always_inline]] inline std::size_t correlate_blocks(const double* x, const double* y, std::size_t windows,
                                                           std::size_t w, double* out) {
    constexpr std::size_t U = 4;
    constexpr std::size_t block = U * L;
    std::size_t s = 0;
    for (; s + block <= windows; s += block) correlate_block<L, U>(x + s, y + s, w, out + s);
    return s;
}

VALMORA_LANES_KERNEL(std::size_t, correlate_all_blocks, correlate_blocks,
                     (const double* x, const double* y, std::size_t windows, std::size_t w, double* out),
                     (x, y, windows, w, out))

// ---- transfer entropy ----

// An unsigned key in the order the thresholds are chosen by: a < b gives key(a) < key(b),
// -0.0 sits just below +0.0, and every NaN above +infinity. Selecting on keys puts a value
// at each position that ascending order by < (NaNs last) would put there, up to the sign of a
// zero, and 0.0 and -0.0 compare alike against every value.
constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
constexpr std::uint64_t kNaNKey = ~std::uint64_t{0};

std::uint64_t order_key(double v) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    // All ones for a negative value (flipping every bit), the sign bit alone for a positive one.
    const std::uint64_t flip = static_cast<std::uint64_t>(static_cast<std::int64_t>(bits) >> 63) | kSign;
    return std::isnan(v) ? kNaNKey : bits ^ flip;
}

double from_order_key(std::uint64_t key) {
    if (key == kNaNKey) return kNaN;
    return std::bit_cast<double>((key & kSign) != 0 ? key & ~kSign : ~key);
}

// Puts at each wanted position (ascending, distinct, within [lo, hi)) the key a full sort
// would put there, at a cost of n log(positions) instead of n log n.
void place_order_statistics(std::uint64_t* base, std::size_t lo, std::size_t hi, const std::size_t* wanted,
                            std::size_t count) {
    if (count == 0 || hi - lo < 2) return;
    const std::size_t mid = count / 2;
    const std::size_t p = wanted[mid];
    std::nth_element(base + lo, base + p, base + hi);
    place_order_statistics(base, lo, p, wanted, mid);
    place_order_statistics(base, p + 1, hi, wanted + mid + 1, count - mid - 1);
}

// The key at each wanted sorted position (ascending). Long series are first split by the
// leading bits of the key: one pass counts the values per bucket, a second gathers only the
// buckets holding a wanted position, and the order statistics are placed among those few. Only
// the two sequential passes touch the whole series, and only the gathered keys are stored.
std::vector<std::uint64_t> keys_at(std::span<const double> values, const std::vector<std::size_t>& wanted) {
    constexpr unsigned kBucketBits = 16;
    constexpr std::size_t kBuckets = std::size_t{1} << kBucketBits;
    // Below this length, zeroing and scanning the buckets costs more than selecting among all.
    constexpr std::size_t kShortSeries = 8192;
    const std::size_t m = values.size();
    std::vector<std::size_t> at(wanted);
    std::vector<std::uint64_t> scratch;
    if (m < kShortSeries) {
        scratch.resize(m);
        for (std::size_t i = 0; i < m; ++i) scratch[i] = order_key(values[i]);
    } else {
        std::vector<std::size_t> slot(kBuckets, 0);
        in_runs(m, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) ++slot[order_key(values[i]) >> (64 - kBucketBits)];
        });
        // Buckets in key order: each wanted position falls in one; it becomes a position among the
        // gathered values, and its bucket's slot the next place to gather into. Other buckets
        // are marked as not gathered.
        constexpr std::size_t kSkip = ~std::size_t{0};
        std::size_t before = 0;  // values in all earlier buckets
        std::size_t w = 0;
        std::size_t gathered = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::size_t size = slot[b];
            const bool kept = w < at.size() && at[w] < before + size;
            for (; w < at.size() && at[w] < before + size; ++w) at[w] = at[w] - before + gathered;
            slot[b] = kept ? gathered : kSkip;
            gathered += kept ? size : 0;
            before += size;
        }
        scratch.resize(gathered);
        in_runs(m, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::uint64_t key = order_key(values[i]);
                std::size_t& next = slot[key >> (64 - kBucketBits)];
                if (next != kSkip) scratch[next++] = key;
            }
        });
        poll_stop();
    }
    place_order_statistics(scratch.data(), 0, scratch.size(), at.data(), at.size());
    for (std::size_t& p : at) p = scratch[p];
    return at;
}

// Quantile thresholds of `values`, kept once per distinct sorted position with the last k that
// uses it: at most one per value, so memory follows the data whatever `bins` is.
struct ThresholdRuns {
    std::vector<double> thresholds;    // non-decreasing, NaNs last
    std::vector<std::uint64_t> last_k; // strictly increasing
};

ThresholdRuns threshold_runs(std::span<const double> values, std::uint64_t bins) {
    const std::size_t m = values.size();
    const double last = static_cast<double>(m - 1);
    const double divisor = static_cast<double>(bins);
    // Threshold k sits at sorted position round((k (m - 1)) / bins), halves away from zero;
    // the position never decreases as k grows.
    auto position = [&](std::uint64_t k) -> std::size_t {
        const double rounded = std::round((static_cast<double>(k) * last) / divisor);
        return rounded < last ? static_cast<std::size_t>(rounded) : m - 1;
    };
    std::vector<std::size_t> wanted;
    ThresholdRuns runs;
    for (std::uint64_t k = 1; k < bins;) {
        const std::size_t p = position(k);
        std::uint64_t lo = k, hi = bins - 1;  // the last k with this position lies in [lo, hi]
        while (lo < hi) {
            const std::uint64_t mid = lo + (hi - lo + 1) / 2;
            if (position(mid) == p) lo = mid;
            else hi = mid - 1;
        }
        wanted.push_back(p);
        runs.last_k.push_back(lo);
        k = lo + 1;
    }
    const std::vector<std::uint64_t> keys = keys_at(values, wanted);
    runs.thresholds.resize(keys.size());
    for (std::size_t r = 0; r < keys.size(); ++r) runs.thresholds[r] = from_order_key(keys[r]);
    return runs;
}

// The number of thresholds <= v, which is the number of runs v reaches: the thresholds never
// decrease and a NaN, whether threshold or value, is <= nothing. A short table is counted
// through, as branches on its entries would be mispredicted; a long one is searched.
std::size_t runs_reached(const std::vector<double>& thresholds, double v) {
    if (thresholds.size() > 64) {
        return static_cast<std::size_t>(
            std::partition_point(thresholds.begin(), thresholds.end(), [v](double t) { return t <= v; }) -
            thresholds.begin());
    }
    std::size_t reached = 0;
    for (double t : thresholds) reached += t <= v;
    return reached;
}

// Symbols as the number of runs reached: two values share a symbol exactly when they reach the
// same thresholds.
template <class Symbol>
void run_symbols(std::span<const double> values, const std::vector<double>& thresholds, Symbol* symbols) {
    in_runs(values.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) symbols[i] = static_cast<Symbol>(runs_reached(thresholds, values[i]));
    });
}

// Renumbers keys below `bound` densely (0, 1, ... in key order); returns the number of
// distinct keys. Keeps every later range no larger than the number of samples.
std::size_t renumber(std::uint64_t* keys, std::size_t count, std::size_t bound) {
    std::vector<std::uint64_t> id(bound, 0);
    for (std::size_t t = 0; t < count; ++t) id[keys[t]] = 1;
    std::uint64_t next = 0;
    for (std::uint64_t& v : id) {
        const std::uint64_t used = v;
        v = next;
        next += used;
    }
    for (std::size_t t = 0; t < count; ++t) keys[t] = id[keys[t]];
    return static_cast<std::size_t>(next);
}

// The term of a state seen c_xyz times, with the counts of its marginals, over `samples`.
double entropy_term(std::uint64_t c_xyz, std::uint64_t c_xy, std::uint64_t c_yz, std::uint64_t c_y,
                    double samples) {
    const double p_xyz = static_cast<double>(c_xyz) / samples;
    const double p_xy = static_cast<double>(c_xy) / samples;
    const double p_yz = static_cast<double>(c_yz) / samples;
    const double p_y = static_cast<double>(c_y) / samples;
    return p_xyz * std::log((p_xyz * p_y) / (p_xy * p_yz));
}

// Every (next, past, source) state has a slot of its own in a table of range_t^2 * range_s
// counts, filled in one sequential pass; the marginal counts are sums over that table. Each
// state's term is computed once, then the terms are added position by position in increasing t.
template <class Symbol>
double entropy_by_table(const Symbol* next, const Symbol* past, const Symbol* src,
                        std::size_t samples, std::size_t range_t, std::size_t range_s) {
    const std::size_t range_xy = range_t * range_t;
    std::vector<std::uint64_t> c_xyz(range_xy * range_s, 0);
    in_runs(samples, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) ++c_xyz[(next[t] * range_t + past[t]) * range_s + src[t]];
    });
    std::vector<std::uint64_t> c_xy(range_xy, 0), c_yz(range_t * range_s, 0), c_y(range_t, 0);
    for (std::size_t x = 0; x < range_t; ++x) {
        for (std::size_t y = 0; y < range_t; ++y) {
            for (std::size_t z = 0; z < range_s; ++z) {
                const std::uint64_t c = c_xyz[(x * range_t + y) * range_s + z];
                c_xy[x * range_t + y] += c;
                c_yz[y * range_s + z] += c;
                c_y[y] += c;
            }
        }
    }
    const double total_samples = static_cast<double>(samples);
    std::vector<double> term(c_xyz.size(), 0.0);
    for (std::size_t x = 0; x < range_t; ++x) {
        for (std::size_t y = 0; y < range_t; ++y) {
            for (std::size_t z = 0; z < range_s; ++z) {
                const std::size_t state = (x * range_t + y) * range_s + z;
                if (c_xyz[state] == 0) continue;
                term[state] = entropy_term(c_xyz[state], c_xy[x * range_t + y], c_yz[y * range_s + z], c_y[y],
                                           total_samples);
            }
        }
    }
    double total = 0.0;
    in_runs(samples, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) total += term[(next[t] * range_t + past[t]) * range_s + src[t]];
    });
    return total;
}

// Stable counting sort of the positions in `order` by keys[position] < range.
std::vector<std::size_t> counting_sort(const std::uint64_t* keys, std::size_t range,
                                       const std::vector<std::size_t>& order) {
    std::vector<std::size_t> start(range + 1, 0);
    in_runs(order.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) ++start[keys[order[i]] + 1];
    });
    for (std::size_t r = 0; r < range; ++r) start[r + 1] += start[r];
    std::vector<std::size_t> sorted(order.size());
    in_runs(order.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) sorted[start[keys[order[i]]]++] = order[i];
    });
    return sorted;
}

// Dense ids of the pairs (a[t], b[t]) for t < count, with a[t] < range_a and b[t] < range_b.
// Two stable counting sorts group equal pairs without ever forming a product key, so no
// range can overflow. Returns the number of distinct pairs.
std::size_t pair_ids(const std::uint64_t* a, std::size_t range_a, const std::uint64_t* b, std::size_t range_b,
                     std::size_t count, std::vector<std::uint64_t>& ids) {
    std::vector<std::size_t> order(count);
    for (std::size_t t = 0; t < count; ++t) order[t] = t;
    poll_stop();
    order = counting_sort(b, range_b, order);
    poll_stop();
    order = counting_sort(a, range_a, order);
    poll_stop();
    ids.assign(count, 0);
    std::uint64_t id = 0;
    for (std::size_t r = 1; r < count; ++r) {
        const std::size_t t = order[r];
        const std::size_t prev = order[r - 1];
        if (a[t] != a[prev] || b[t] != b[prev]) ++id;
        ids[t] = id;
    }
    return count == 0 ? 0 : static_cast<std::size_t>(id) + 1;
}

std::vector<std::uint64_t> histogram(const std::uint64_t* ids, std::size_t count, std::size_t range) {
    std::vector<std::uint64_t> c(range, 0);
    in_runs(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) ++c[ids[t]];
    });
    return c;
}

// The same sum where the states are too many for a table: equal pairs grouped by sorting.
double entropy_by_sorting(const std::uint64_t* next, const std::uint64_t* past, const std::uint64_t* src,
                          std::size_t samples, std::size_t range_t, std::size_t range_s) {
    std::vector<std::uint64_t> xy, xyz, yz;
    const std::size_t range_xy = pair_ids(next, range_t, past, range_t, samples, xy);
    const std::size_t range_xyz = pair_ids(xy.data(), range_xy, src, range_s, samples, xyz);
    const std::size_t range_yz = pair_ids(past, range_t, src, range_s, samples, yz);
    const std::vector<std::uint64_t> c_xyz = histogram(xyz.data(), samples, range_xyz);
    const std::vector<std::uint64_t> c_xy = histogram(xy.data(), samples, range_xy);
    const std::vector<std::uint64_t> c_yz = histogram(yz.data(), samples, range_yz);
    const std::vector<std::uint64_t> c_y = histogram(past, samples, range_t);
    const double total_samples = static_cast<double>(samples);
    std::vector<double> term(range_xyz, kNaN);
    std::vector<bool> known(range_xyz, false);
    double total = 0.0;
    in_runs(samples, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) {
            const std::uint64_t state = xyz[t];
            if (!known[state]) {
                term[state] = entropy_term(c_xyz[state], c_xy[xy[t]], c_yz[yz[t]], c_y[past[t]], total_samples);
                known[state] = true;
            }
            total += term[state];
        }
    });
    return total;
}

// Whether the states get a table: up to four slots per sample (and at least 2^16 slots), where it
// is still faster than the counting sorts and needs less memory than they do.
bool fits_table(std::size_t range_t, std::size_t range_s, std::size_t samples) {
    const std::size_t four_per_sample = samples <= SIZE_MAX / 4 ? 4 * samples : SIZE_MAX;
    const std::size_t limit = std::max<std::size_t>(std::size_t{1} << 16, four_per_sample);
    std::size_t states = 0;
    return !__builtin_mul_overflow(range_t, range_t, &states) &&
           !__builtin_mul_overflow(states, range_s, &states) && states <= limit;
}

}  // namespace

void RollingCorrelation::compute(std::size_t start, std::span<double> out) const {
    const std::size_t n = out.size();
    // Positions before the first full window.
    const std::size_t lead = start < w_ - 1 ? std::min(n, w_ - 1 - start) : 0;
    std::fill_n(out.data(), lead, kNaN);
    if (lead == n) return;
    // Position p holds the window starting at p - (w - 1).
    const std::size_t first = start + lead - (w_ - 1);
    const std::size_t windows = n - lead;
    double* by_start = out.data() + lead;
    // Runs of windows of about a million values in all, so a stop request is seen within a
    // millisecond or so; a multiple of every block size, so only the last run has a tail.
    const std::size_t run = std::max<std::size_t>(64, ((std::size_t{1} << 20) / w_) & ~std::size_t{63});
    for (std::size_t s0 = 0; s0 < windows; s0 += run) {
        poll_stop();
        const std::size_t count = std::min(run, windows - s0);
        const double* x = x_.data() + first + s0;
        const double* y = y_.data() + first + s0;
        const std::size_t done = correlate_all_blocks(x, y, count, w_, by_start + s0);
        for (std::size_t s = done; s < count; ++s) by_start[s0 + s] = window_correlation(x + s, y + s, w_);
    }
}

std::vector<double> RollingCorrelation::all() const {
    std::vector<double> out(size());
    compute(0, out);
    return out;
}

Result<RollingCorrelation> rolling_correlation(std::span<const double> x, std::span<const double> y,
                                               std::uint64_t window) {
    if (window < 2) return ValidationError{"window must be >= 2"};
    if (x.size() != y.size()) return ValidationError{"x and y must have the same length"};
    // A window longer than the series ends nowhere: every position is NaN.
    const auto w = window - 1 >= x.size() ? x.size() + 1 : static_cast<std::size_t>(window);
    return RollingCorrelation(x, y, w);
}

Result<CointegrationSpread> cointegration_spread(std::span<const double> y, std::span<const double> x) {
    const std::size_t n = x.size();
    if (n == 0 || y.size() != n) return ValidationError{"x and y must have the same non-zero length"};
    const double count = static_cast<double>(n);
    // Every sum starts from its first term and adds the rest in index order, with the chain's
    // bits (summation.hpp); the products are made a chunk at a time in a small buffer.
    const double sx = summation::add_in_order(x[0], x.data() + 1, n - 1);
    const double sy = summation::add_in_order(y[0], y.data() + 1, n - 1);
    const double mean_x = sx / count;
    const double mean_y = sy / count;
    // Two lanes, which every processor has, keep the buffer's stores from waiting on each other.
    // The means are loaded, not splatted: 0.0 + -0.0 would turn a mean of -0.0 into +0.0.
    using Pair = lanes::Vec<2>;
    const double means_x[2] = {mean_x, mean_x};
    const double means_y[2] = {mean_y, mean_y};
    Pair mx, my;
    lanes::load(mx, means_x);
    lanes::load(my, means_y);
    constexpr std::size_t kChunk = 2048;
    double terms[kChunk];
    double sxy = (x[0] - mean_x) * (y[0] - mean_y);
    for (std::size_t i = 1; i < n; i += kChunk) {
        const std::size_t m = std::min(kChunk, n - i);
        std::size_t k = 0;
        for (; k + 2 <= m; k += 2) {
            Pair a, b;
            lanes::load(a, x.data() + i + k);
            lanes::load(b, y.data() + i + k);
            lanes::store(terms + k, (a - mx) * (b - my));
        }
        for (; k < m; ++k) terms[k] = (x[i + k] - mean_x) * (y[i + k] - mean_y);
        sxy = summation::add_in_order(sxy, terms, m);
    }
    double d = x[0] - mean_x;
    double sxx = d * d;
    for (std::size_t i = 1; i < n; i += kChunk) {
        const std::size_t m = std::min(kChunk, n - i);
        std::size_t k = 0;
        for (; k + 2 <= m; k += 2) {
            Pair a;
            lanes::load(a, x.data() + i + k);
            a -= mx;
            lanes::store(terms + k, a * a);
        }
        for (; k < m; ++k) {
            d = x[i + k] - mean_x;
            terms[k] = d * d;
        }
        sxx = summation::add_nonnegative_in_order(sxx, terms, m);
    }
    if (sxx == 0.0) return ValidationError{"x variance must be positive"};
    const double beta = sxy / sxx;
    const double alpha = mean_y - mean_x * beta;
    // The residuals sum to about zero, crossing binades all along: no block would be exact.
    // Each is made again, with the same bits, when the spread is computed.
    double se = y[0] - (x[0] * beta + alpha);
    in_runs(n - 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin + 1; i <= end; ++i) se += y[i] - (x[i] * beta + alpha);
    });
    return CointegrationSpread{beta, alpha, CentredResiduals(x, y, beta, alpha, se / count)};
}

void CentredResiduals::compute(std::size_t start, std::span<double> out) const {
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::size_t t = start + i;
        out[i] = (y_[t] - (x_[t] * beta_ + alpha_)) - mean_;
    }
}

std::vector<double> CentredResiduals::all() const {
    std::vector<double> out(size());
    compute(0, out);
    return out;
}

Result<std::vector<std::uint64_t>> quantile_discretise(std::span<const double> values, std::uint64_t bins) {
    if (bins < 2) return ValidationError{"bins must be >= 2"};
    if (values.empty()) return ValidationError{"values must not be empty"};
    std::vector<std::uint64_t> symbols(values.size());
    const ThresholdRuns runs = threshold_runs(values, bins);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::size_t reached = runs_reached(runs.thresholds, values[i]);
        symbols[i] = reached == 0 ? 0 : runs.last_k[reached - 1];
    }
    return symbols;
}

Result<double> transfer_entropy(std::span<const double> source, std::span<const double> target, std::uint64_t bins,
                                std::uint64_t lag) {
    if (lag == 0) return ValidationError{"lag must be >= 1"};
    if (source.size() != target.size()) return ValidationError{"source and target must have the same length"};
    const std::size_t n = source.size();
    if (n == 0 || lag >= n - 1) return 0.0;
    // Both series are long enough here, so the source's check is the only one that can fail.
    if (bins < 2) return ValidationError{"bins must be >= 2"};

    const ThresholdRuns runs_s = threshold_runs(source, bins);
    const ThresholdRuns runs_t = threshold_runs(target, bins);
    std::size_t range_s = runs_s.thresholds.size() + 1;
    std::size_t range_t = runs_t.thresholds.size() + 1;
    const auto shift = static_cast<std::size_t>(lag);
    const std::size_t samples = n - shift;

    double total = 0.0;
    if (range_s <= 256 && range_t <= 256 && fits_table(range_t, range_s, samples)) {
        // The usual case, few bins: a byte per symbol is all the memory that grows with n.
        auto s = std::make_unique_for_overwrite<std::uint8_t[]>(n);
        auto tg = std::make_unique_for_overwrite<std::uint8_t[]>(n);
        run_symbols(source, runs_s.thresholds, s.get());
        run_symbols(target, runs_t.thresholds, tg.get());
        total = entropy_by_table(tg.get() + shift, tg.get(), s.get(), samples, range_t, range_s);
    } else {
        auto s = std::make_unique_for_overwrite<std::uint64_t[]>(n);
        auto tg = std::make_unique_for_overwrite<std::uint64_t[]>(n);
        run_symbols(source, runs_s.thresholds, s.get());
        run_symbols(target, runs_t.thresholds, tg.get());
        if (!fits_table(range_t, range_s, samples)) {
            range_s = renumber(s.get(), n, range_s);
            range_t = renumber(tg.get(), n, range_t);
        }
        const std::uint64_t* next = tg.get() + shift;
        total = fits_table(range_t, range_s, samples)
                    ? entropy_by_table(next, tg.get(), s.get(), samples, range_t, range_s)
                    : entropy_by_sorting(next, tg.get(), s.get(), samples, range_t, range_s);
    }
    return total > 0.0 ? total : 0.0;
}

}  // namespace valmora
