#include "timeseries.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>

#include "lanes.hpp"
#include "stop.hpp"

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

// Puts at each wanted position (ascending, distinct, within [lo, hi)) of a range free of NaN
// the value an ascending sort would put there. Values the ordering calls equivalent (0.0 and
// -0.0) compare alike against every threshold, so the thresholds, and with them the symbols,
// are those of a stable sort, at a cost of n log(positions) instead of n log n.
void place_order_statistics(double* base, std::size_t lo, std::size_t hi, const std::size_t* wanted,
                            std::size_t count) {
    if (count == 0 || hi - lo < 2) return;
    const std::size_t mid = count / 2;
    const std::size_t p = wanted[mid];
    std::nth_element(base + lo, base + p, base + hi);
    place_order_statistics(base, lo, p, wanted, mid);
    place_order_statistics(base, p + 1, hi, wanted + mid + 1, count - mid - 1);
}

// Renumbers keys below `bound` densely (0, 1, ... in key order); returns the number of
// distinct keys. Keeps every later range no larger than the number of samples.
std::size_t renumber(std::vector<std::uint64_t>& keys, std::uint64_t bound) {
    if (bound <= keys.size()) {
        std::vector<std::uint64_t> id(static_cast<std::size_t>(bound), 0);
        for (std::uint64_t k : keys) id[k] = 1;
        std::uint64_t next = 0;
        for (std::uint64_t& v : id) {
            const std::uint64_t used = v;
            v = next;
            next += used;
        }
        for (std::uint64_t& k : keys) k = id[k];
        return static_cast<std::size_t>(next);
    }
    std::vector<std::uint64_t> distinct(keys);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    for (std::uint64_t& k : keys) {
        k = static_cast<std::uint64_t>(std::lower_bound(distinct.begin(), distinct.end(), k) - distinct.begin());
    }
    return distinct.size();
}

// Stable counting sort of the positions in `order` by keys[position] < range.
std::vector<std::size_t> counting_sort(const std::uint64_t* keys, std::size_t range,
                                       const std::vector<std::size_t>& order) {
    std::vector<std::size_t> start(range + 1, 0);
    for (std::size_t t : order) ++start[keys[t] + 1];
    for (std::size_t r = 0; r < range; ++r) start[r + 1] += start[r];
    std::vector<std::size_t> sorted(order.size());
    for (std::size_t t : order) sorted[start[keys[t]]++] = t;
    return sorted;
}

// Dense ids of the pairs (a[t], b[t]) for t < count, with a[t] < range_a and b[t] < range_b.
// Two stable counting sorts group equal pairs without ever forming a product key, so no
// range can overflow. Returns the number of distinct pairs.
std::size_t pair_ids(const std::uint64_t* a, std::size_t range_a, const std::uint64_t* b, std::size_t range_b,
                     std::size_t count, std::vector<std::uint64_t>& ids) {
    std::vector<std::size_t> order(count);
    for (std::size_t t = 0; t < count; ++t) order[t] = t;
    order = counting_sort(b, range_b, order);
    order = counting_sort(a, range_a, order);
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
    for (std::size_t t = 0; t < count; ++t) ++c[ids[t]];
    return c;
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
    double sx = x[0];
    for (std::size_t i = 1; i < n; ++i) sx += x[i];
    double sy = y[0];
    for (std::size_t i = 1; i < n; ++i) sy += y[i];
    const double mean_x = sx / count;
    const double mean_y = sy / count;
    double sxy = (x[0] - mean_x) * (y[0] - mean_y);
    for (std::size_t i = 1; i < n; ++i) sxy += (x[i] - mean_x) * (y[i] - mean_y);
    double d = x[0] - mean_x;
    double sxx = d * d;
    for (std::size_t i = 1; i < n; ++i) {
        d = x[i] - mean_x;
        sxx += d * d;
    }
    if (sxx == 0.0) return ValidationError{"x variance must be positive"};
    const double beta = sxy / sxx;
    const double alpha = mean_y - mean_x * beta;
    std::vector<double> spread(n);
    for (std::size_t i = 0; i < n; ++i) spread[i] = y[i] - (x[i] * beta + alpha);
    double se = spread[0];
    for (std::size_t i = 1; i < n; ++i) se += spread[i];
    const double mean_e = se / count;
    for (double& e : spread) e -= mean_e;
    return CointegrationSpread{beta, alpha, std::move(spread)};
}

Result<std::vector<std::uint64_t>> quantile_discretise(std::vector<double> values, std::uint64_t bins) {
    if (bins < 2) return ValidationError{"bins must be >= 2"};
    if (values.empty()) return ValidationError{"values must not be empty"};
    const std::size_t m = values.size();
    const double last = static_cast<double>(m - 1);
    const double divisor = static_cast<double>(bins);
    // Threshold k sits at sorted position round((k (m - 1)) / bins), halves away from zero;
    // the position never decreases as k grows.
    auto position = [&](std::uint64_t k) -> std::size_t {
        const double rounded = std::round((static_cast<double>(k) * last) / divisor);
        return rounded < last ? static_cast<std::size_t>(rounded) : m - 1;
    };
    // Thresholds are kept per distinct position, with the last k that uses it: at most one run
    // per value, so memory follows the data whatever `bins` is. A value's symbol, the number of
    // thresholds <= it, is the last k of the last run whose threshold is <= it.
    struct Run {
        std::size_t position;
        std::uint64_t last_k;
    };
    std::vector<Run> runs;
    for (std::uint64_t k = 1; k < bins;) {
        const std::size_t p = position(k);
        std::uint64_t lo = k, hi = bins - 1;  // the last k with this position lies in [lo, hi]
        while (lo < hi) {
            const std::uint64_t mid = lo + (hi - lo + 1) / 2;
            if (position(mid) == p) lo = mid;
            else hi = mid - 1;
        }
        runs.push_back({p, lo});
        k = lo + 1;
    }
    std::vector<double> thresholds(runs.size());
    std::vector<std::uint64_t> counts(runs.size());
    {
        std::vector<std::size_t> wanted(runs.size());
        for (std::size_t r = 0; r < runs.size(); ++r) wanted[r] = runs[r].position;
        // NaNs go after every number, so that the order is a strict weak ordering whatever the
        // input holds; the numbers alone are then ordered by the plain less-than.
        std::vector<double> ordered(values);
        const auto numbers_end = std::partition(ordered.begin(), ordered.end(), [](double v) { return !std::isnan(v); });
        const auto numbers = static_cast<std::size_t>(numbers_end - ordered.begin());
        const auto among_numbers = static_cast<std::size_t>(
            std::lower_bound(wanted.begin(), wanted.end(), numbers) - wanted.begin());
        place_order_statistics(ordered.data(), 0, numbers, wanted.data(), among_numbers);
        for (std::size_t r = 0; r < runs.size(); ++r) {
            thresholds[r] = ordered[runs[r].position];
            counts[r] = runs[r].last_k;
        }
    }
    std::vector<std::uint64_t> symbols(m);
    // A NaN value reaches no threshold and a NaN threshold is reached by no value, so NaN gets
    // symbol 0 without a test of its own.
    if (thresholds.size() <= 64) {
        // Thresholds never decrease, so adding the width of every run reached gives the last k reached.
        std::vector<std::uint64_t> widths(counts.size());
        for (std::size_t r = 0; r < counts.size(); ++r) widths[r] = counts[r] - (r == 0 ? 0 : counts[r - 1]);
        for (std::size_t i = 0; i < m; ++i) {
            const double v = values[i];
            std::uint64_t count = 0;
            for (std::size_t r = 0; r < thresholds.size(); ++r) {
                count += widths[r] & (std::uint64_t{0} - static_cast<std::uint64_t>(thresholds[r] <= v));
            }
            symbols[i] = count;
        }
    } else {
        // Numbers in non-decreasing order, then NaNs: partitioned by "above v" for a number v.
        auto above = [](double v, double t) { return v < t || std::isnan(t); };
        for (std::size_t i = 0; i < m; ++i) {
            const double v = values[i];
            const auto reached = static_cast<std::size_t>(
                std::upper_bound(thresholds.begin(), thresholds.end(), v, above) - thresholds.begin());
            symbols[i] = std::isnan(v) || reached == 0 ? 0 : counts[reached - 1];
        }
    }
    return symbols;
}

Result<double> transfer_entropy(std::vector<double> source, std::vector<double> target, std::uint64_t bins,
                                std::uint64_t lag) {
    if (lag == 0) return ValidationError{"lag must be >= 1"};
    if (source.size() != target.size()) return ValidationError{"source and target must have the same length"};
    const std::size_t n = source.size();
    if (n == 0 || lag >= n - 1) return 0.0;

    auto source_symbols = quantile_discretise(std::move(source), bins);
    if (!source_symbols.ok()) return source_symbols.error();
    auto target_symbols = quantile_discretise(std::move(target), bins);
    if (!target_symbols.ok()) return target_symbols.error();
    std::vector<std::uint64_t>& s = source_symbols.value();
    std::vector<std::uint64_t>& tg = target_symbols.value();

    const auto shift = static_cast<std::size_t>(lag);
    const std::size_t samples = n - shift;
    const std::size_t range_s = renumber(s, bins);
    const std::size_t range_t = renumber(tg, bins);
    const std::uint64_t* next = tg.data() + shift;
    const std::uint64_t* past = tg.data();
    const std::uint64_t* src = s.data();

    // Exact counts of every (next, past, source), (next, past), (past, source) and past state.
    std::vector<std::uint64_t> xy, xyz, yz;
    const std::size_t range_xy = pair_ids(next, range_t, past, range_t, samples, xy);
    const std::size_t range_xyz = pair_ids(xy.data(), range_xy, src, range_s, samples, xyz);
    const std::size_t range_yz = pair_ids(past, range_t, src, range_s, samples, yz);
    const std::vector<std::uint64_t> c_xyz = histogram(xyz.data(), samples, range_xyz);
    const std::vector<std::uint64_t> c_xy = histogram(xy.data(), samples, range_xy);
    const std::vector<std::uint64_t> c_yz = histogram(yz.data(), samples, range_yz);
    const std::vector<std::uint64_t> c_y = histogram(past, samples, range_t);

    // A position's term depends on its counts only: compute it once per state, then add the
    // terms position by position in increasing t.
    const double total_samples = static_cast<double>(samples);
    std::vector<double> term(range_xyz, kNaN);
    std::vector<bool> known(range_xyz, false);
    double total = 0.0;
    for (std::size_t t = 0; t < samples; ++t) {
        const std::uint64_t state = xyz[t];
        if (!known[state]) {
            const double p_xyz = static_cast<double>(c_xyz[state]) / total_samples;
            const double p_xy = static_cast<double>(c_xy[xy[t]]) / total_samples;
            const double p_yz = static_cast<double>(c_yz[yz[t]]) / total_samples;
            const double p_y = static_cast<double>(c_y[past[t]]) / total_samples;
            term[state] = p_xyz * std::log((p_xyz * p_y) / (p_xy * p_yz));
            known[state] = true;
        }
        total += term[state];
    }
    return total > 0.0 ? total : 0.0;
}

}  // namespace valmora
