#include "transfer_entropy.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "order_statistics.hpp"
#include "stop.hpp"

namespace valmora {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The distinct sorted positions of the quantile thresholds of m values: at most one per value,
// so memory follows the data whatever `bins` is.
std::vector<std::size_t> quantile_positions(std::size_t m, std::uint64_t bins) {
    const double last = static_cast<double>(m - 1);
    const double divisor = static_cast<double>(bins);
    // Threshold k sits at sorted position round((k (m - 1)) / bins), halves away from zero;
    // the position never decreases as k grows.
    auto position = [&](std::uint64_t k) -> std::size_t {
        const double rounded = std::round((static_cast<double>(k) * last) / divisor);
        return rounded < last ? static_cast<std::size_t>(rounded) : m - 1;
    };
    // The sorted positions are walked in runs, polling between: each holds at most one threshold
    // per position, each found by a binary search of at most 64 steps.
    std::vector<std::size_t> wanted;
    std::uint64_t k = 1;
    in_runs(
        m,
        [&](std::size_t, std::size_t end) {
            while (k < bins && position(k) < end) {
                const std::size_t p = position(k);
                std::uint64_t lo = k, hi = bins - 1;  // the last k with this position lies in [lo, hi]
                while (lo < hi) {
                    const std::uint64_t mid = lo + (hi - lo + 1) / 2;
                    if (position(mid) == p) lo = mid;
                    else hi = mid - 1;
                }
                wanted.push_back(p);
                k = lo + 1;
            }
        },
        4096);
    return wanted;
}

// Runs for loops whose every step reads or writes at a random place in a long table.
constexpr std::size_t kScattered = std::size_t{1} << 17;

// Renumbers keys below `bound` densely (0, 1, ... in key order); returns the number of
// distinct keys. Keeps every later range no larger than the number of samples.
std::size_t renumber(std::uint64_t* keys, std::size_t count, std::size_t bound) {
    std::vector<std::uint64_t> id = filled<std::uint64_t>(bound, 0);
    each_in_runs(
        count, [&](std::size_t t) { id[keys[t]] = 1; }, kScattered);
    std::uint64_t next = 0;
    each_in_runs(bound, [&](std::size_t r) {
        const std::uint64_t used = id[r];
        id[r] = next;
        next += used;
    });
    each_in_runs(
        count, [&](std::size_t t) { keys[t] = id[keys[t]]; }, kScattered);
    return static_cast<std::size_t>(next);
}

// The term of a state seen c_xyz times, with the counts of its marginals, over `samples`.
double entropy_term(std::uint64_t c_xyz, std::uint64_t c_xy, std::uint64_t c_yz, std::uint64_t c_y, double samples) {
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
double entropy_by_table(const Symbol* next, const Symbol* past, const Symbol* src, std::size_t samples,
                        std::size_t range_t, std::size_t range_s) {
    const std::size_t range_xy = range_t * range_t;
    std::vector<std::uint64_t> c_xyz = filled<std::uint64_t>(range_xy * range_s, 0);
    each_in_runs(
        samples, [&](std::size_t t) { ++c_xyz[(next[t] * range_t + past[t]) * range_s + src[t]]; }, kScattered);
    std::vector<std::uint64_t> c_xy = filled<std::uint64_t>(range_xy, 0),
                               c_yz = filled<std::uint64_t>(range_t * range_s, 0),
                               c_y = filled<std::uint64_t>(range_t, 0);
    for (std::size_t x = 0; x < range_t; ++x) {
        poll_stop();  // a slice of range_t * range_s states
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
    std::vector<double> term = filled(c_xyz.size(), 0.0);
    for (std::size_t x = 0; x < range_t; ++x) {
        poll_stop();
        for (std::size_t y = 0; y < range_t; ++y) {
            for (std::size_t z = 0; z < range_s; ++z) {
                const std::size_t state = (x * range_t + y) * range_s + z;
                if (c_xyz[state] == 0) continue;
                term[state] =
                    entropy_term(c_xyz[state], c_xy[x * range_t + y], c_yz[y * range_s + z], c_y[y], total_samples);
            }
        }
    }
    double total = 0.0;
    each_in_runs(
        samples, [&](std::size_t t) { total += term[(next[t] * range_t + past[t]) * range_s + src[t]]; }, kScattered);
    return total;
}

// Stable counting sort of the positions in `order` by keys[position] < range.
std::vector<std::size_t> counting_sort(const std::uint64_t* keys, std::size_t range,
                                       const std::vector<std::size_t>& order) {
    std::vector<std::size_t> start = filled<std::size_t>(range + 1, 0);
    each_in_runs(
        order.size(), [&](std::size_t i) { ++start[keys[order[i]] + 1]; }, kScattered);
    each_in_runs(range, [&](std::size_t r) { start[r + 1] += start[r]; });
    std::vector<std::size_t> sorted = filled<std::size_t>(order.size(), 0);
    each_in_runs(
        order.size(), [&](std::size_t i) { sorted[start[keys[order[i]]]++] = order[i]; }, kScattered);
    return sorted;
}

// Dense ids of the pairs (a[t], b[t]) for t < count, with a[t] < range_a and b[t] < range_b.
// Two stable counting sorts group equal pairs without ever forming a product key, so no
// range can overflow. Returns the number of distinct pairs.
std::size_t pair_ids(const std::uint64_t* a, std::size_t range_a, const std::uint64_t* b, std::size_t range_b,
                     std::size_t count, std::vector<std::uint64_t>& ids) {
    std::vector<std::size_t> order = filled<std::size_t>(count, 0);
    each_in_runs(count, [&](std::size_t t) { order[t] = t; });
    order = counting_sort(b, range_b, order);
    order = counting_sort(a, range_a, order);
    ids = filled<std::uint64_t>(count, 0);
    std::uint64_t id = 0;
    each_in_runs(
        count,
        [&](std::size_t r) {
            if (r == 0) return;
            const std::size_t t = order[r];
            const std::size_t prev = order[r - 1];
            if (a[t] != a[prev] || b[t] != b[prev]) ++id;
            ids[t] = id;
        },
        kScattered);
    return count == 0 ? 0 : static_cast<std::size_t>(id) + 1;
}

std::vector<std::uint64_t> histogram(const std::uint64_t* ids, std::size_t count, std::size_t range) {
    std::vector<std::uint64_t> c = filled<std::uint64_t>(range, 0);
    each_in_runs(
        count, [&](std::size_t t) { ++c[ids[t]]; }, kScattered);
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
    std::vector<double> term = filled(range_xyz, kNaN);
    std::vector<bool> known = filled(range_xyz, false);
    double total = 0.0;
    each_in_runs(
        samples,
        [&](std::size_t t) {
            const std::uint64_t state = xyz[t];
            if (!known[state]) {
                term[state] = entropy_term(c_xyz[state], c_xy[xy[t]], c_yz[yz[t]], c_y[past[t]], total_samples);
                known[state] = true;
            }
            total += term[state];
        },
        kScattered);
    return total;
}

// Whether the states get a table: up to four slots per sample (and at least 2^16 slots), where it
// is still faster than the counting sorts and needs less memory than they do.
bool fits_table(std::size_t range_t, std::size_t range_s, std::size_t samples) {
    const std::size_t four_per_sample = samples <= SIZE_MAX / 4 ? 4 * samples : SIZE_MAX;
    const std::size_t limit = std::max<std::size_t>(std::size_t{1} << 16, four_per_sample);
    std::size_t states = 0;
    return !__builtin_mul_overflow(range_t, range_t, &states) && !__builtin_mul_overflow(states, range_s, &states) &&
           states <= limit;
}

// How the states are counted, chosen once from the ranges of the symbols: a table, with a byte
// per symbol where the thresholds allow it (then that is all the memory that grows with n), or
// grouping by sorting when the states would not fit a table.
enum class Counting { byte_table, table, sorting };

Counting choose_counting(std::size_t range, std::size_t samples) {
    if (!fits_table(range, range, samples)) return Counting::sorting;
    return range <= 256 ? Counting::byte_table : Counting::table;
}

// The symbols of both series, then the sum over their (next, past, source) states. A symbol is
// the number of distinct threshold positions whose value the value reaches: two values share a
// symbol exactly when they reach the same thresholds. Before sorting, the symbols are renumbered
// densely: ties can leave many symbols unused, and the states that remain may fit a table after all.
template <class Symbol>
double entropy_of_symbols(std::span<const double> source, std::span<const double> target,
                          const std::vector<std::size_t>& positions, std::size_t shift, Counting counting) {
    const std::size_t n = source.size();
    const std::size_t samples = n - shift;
    std::size_t range_s = positions.size() + 1;
    std::size_t range_t = range_s;
    auto source_symbols = std::make_unique_for_overwrite<Symbol[]>(n);
    auto target_symbols = std::make_unique_for_overwrite<Symbol[]>(n);
    order_statistics_reached(source, positions, source_symbols.get());
    order_statistics_reached(target, positions, target_symbols.get());
    const Symbol* next = target_symbols.get() + shift;
    if constexpr (std::is_same_v<Symbol, std::uint64_t>) {
        if (counting == Counting::sorting) {
            range_s = renumber(source_symbols.get(), n, range_s);
            range_t = renumber(target_symbols.get(), n, range_t);
            if (!fits_table(range_t, range_s, samples))
                return entropy_by_sorting(next, target_symbols.get(), source_symbols.get(), samples, range_t, range_s);
        }
    }
    return entropy_by_table(next, target_symbols.get(), source_symbols.get(), samples, range_t, range_s);
}

}  // namespace

Result<double> transfer_entropy(std::span<const double> source, std::span<const double> target, std::uint64_t bins,
                                std::uint64_t lag) {
    if (lag == 0) return ValidationError{"lag must be >= 1"};
    if (source.size() != target.size()) return ValidationError{"source and target must have the same length"};
    const std::size_t n = source.size();
    if (n == 0 || lag >= n - 1) return 0.0;
    // Only now is `bins` checked: a short series gives 0.0 whatever it is.
    if (bins < 2) return ValidationError{"bins must be >= 2"};

    // Both series have the same length, so their thresholds sit at the same sorted positions.
    const std::vector<std::size_t> positions = quantile_positions(n, bins);
    const std::size_t range = positions.size() + 1;
    const auto shift = static_cast<std::size_t>(lag);
    const std::size_t samples = n - shift;

    const Counting counting = choose_counting(range, samples);
    const double total = counting == Counting::byte_table
                             ? entropy_of_symbols<std::uint8_t>(source, target, positions, shift, counting)
                             : entropy_of_symbols<std::uint64_t>(source, target, positions, shift, counting);
    return total > 0.0 ? total : 0.0;
}

}  // namespace valmora
