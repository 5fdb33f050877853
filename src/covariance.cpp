#include "covariance.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "blocks.hpp"
#include "lanes.hpp"
#include "stop.hpp"
#include "summation.hpp"

namespace valmora {
namespace {

// Mean of the diagonal: the level of the scaled identity both shrinkage estimators aim at.
double target_level(const Matrix& s, std::size_t p) {
    const double* v = s.data();
    double trace = 0.0;
    for (std::size_t i = 0; i < p; ++i) trace += v[i * p + i];
    return trace / static_cast<double>(p);
}

// (S_ij (1 - delta) + T_ij delta) * frequency over every entry, T being mu on the diagonal and
// 0.0 elsewhere. Computed in place over S. The NaNs of S and delta can only be made by the
// arithmetic (the observations are finite), all the one default NaN; `frequency`'s may be any,
// and comes second.
Matrix shrink(Matrix s, std::size_t p, double mu, double delta, double frequency) {
    const double keep = 1.0 - delta;
    double* v = s.data();
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            const double target = i == j ? mu : 0.0;
            v[i * p + j] = lanes::mul(v[i * p + j] * keep + target * delta, frequency);
        }
    }
    return s;
}

// ---- the Ledoit-Wolf chain ----
//
// Sum over k, then i, then j, from 0.0, of (c_kj c_ki - S_ij)^2: one chain of n p^2 additions,
// with the chain's bits (summation.hpp). S is exactly symmetric and the product commutes, so the
// term of (k, j, i) has the bits of (k, i, j): an exact block of whole observations has for
// integer sum their diagonal terms plus twice their upper triangles, and only those are computed.
//
// Observations go in groups, one to a lane, each lane's sum kept apart. A group's lanes are
// then taken in order while each is exact and the sum stays below the next power of two: a term
// that rounds to a tie spoils its observation only, and an observation that crosses the power
// of two, added one term at a time, leaves the lanes after it valid if the sum stays in its
// binade. What the sum cannot take is computed again in the next group.

template <std::size_t N>
using Squares = summation::Block<N, true>;

// The chain's operands: S, its diagonal, and the observations, fetched centred as centred()
// centres them.
struct Chain {
    const CompleteObservations& o;
    const double* s;
    std::size_t p;
    std::vector<double> group;     // observations side by side, value j of lane g at [j * lanes + g]
    std::vector<double> one;       // one observation, zeros past p
    std::vector<double> diagonal;  // zeros past p
    std::vector<double> terms;     // terms in the chain's order
    double sum = 0.0;
    // What the last exact observations added per observation (0.0 before the first): the sum's
    // growth, from which the observation that crosses the next power of two is foreseen.
    double per_observation = 0.0;

    Chain(const CompleteObservations& o_, const Matrix& s_, std::size_t p_)
        : o(o_),
          s(s_.data()),
          p(p_),
          group(p_ * blocks::kChainGroupVectors * blocks::kChainMostLanes),
          one(p_ + blocks::kChainMostLanes, 0.0),
          diagonal(p_ + blocks::kChainMostLanes, 0.0),
          terms(std::max(p_, blocks::kChainTerms)) {
        for (std::size_t i = 0; i < p; ++i) diagonal[i] = s[i * p + i];
    }

    // Observation k, centred, into `to` (zeros past p left alone).
    void fetch(std::size_t k, double* to) const {
        const double* row = o.values + o.rows[k] * p;
        for (std::size_t j = 0; j < p; ++j) to[j] = row[j] - o.mean[j];
    }
};

// How many observations the sum is foreseen to take before the one that reaches the next power
// of two: the growth per observation, with a sixteenth to spare, against the room left. None
// from a sum no block starts from (0.0 first); any number before the growth is known.
inline std::size_t foreseen_to_fit(const Chain& ch, std::size_t most) {
    const summation::Binade b = summation::binade_of(ch.sum);
    if (!b.ok) return 0;
    if (!(ch.per_observation > 0.0)) return most;
    const double fit = (2.0 * b.base - ch.sum) / (ch.per_observation * 1.0625);
    return fit >= static_cast<double>(most) ? most : static_cast<std::size_t>(fit);
}

// Each lane's terms rounded to the spacing of the binade of `b` and summed (exactly, while below
// twice its base), the diagonal's and the upper triangle's apart, and their largest rounding
// deviation.
struct LaneSums {
    double once[blocks::kChainGroupVectors * blocks::kChainMostLanes];
    double twice[blocks::kChainGroupVectors * blocks::kChainMostLanes];
    double deviation[blocks::kChainGroupVectors * blocks::kChainMostLanes];
};

// The terms of the M N observations in `x` (value j of lane g at x[j * M N + g]), one per lane,
// each lane's sums into `out`. Each term is one subtraction from a broadcast S_ij, with no mask
// at the triangle's edge. The columns go in stretches whose values stay in the second-level
// cache while every row of S meets them; S itself streams through once.
template <std::size_t N, std::size_t M>
[[gnu::always_inline]] inline void group_sums(const summation::Binade& b, const double* x, const double* s,
                                              std::size_t p, LaneSums& out) {
    using Lanes = lanes::Vec<N>;
    constexpr std::size_t W = M * N;
    Squares<N> once[M], twice[M];
    for (std::size_t v = 0; v < M; ++v) once[v] = twice[v] = Squares<N>(b);
    const std::size_t stretch = std::max<std::size_t>(1, blocks::kChainStretchBytes / (W * sizeof(double)));
    // A poll for a stop request about every million terms.
    const std::size_t poll_rows = std::max<std::size_t>(1, (std::size_t{1} << 20) / (std::min(p, stretch) * W));
    std::size_t until_poll = poll_rows;
    for (std::size_t j0 = 0; j0 < p; j0 += stretch) {
        const std::size_t j1 = std::min(p, j0 + stretch);
        for (std::size_t i = 0; i < j1; ++i) {
            if (--until_poll == 0) {
                poll_stop();
                until_poll = poll_rows;
            }
            const double* row = s + i * p;
            // The next row's stretch, which the prefetcher would meet only after a miss.
            __builtin_prefetch(row + p + std::max(i + 1, j0));
            Lanes a[M];
#pragma GCC unroll 4
            for (std::size_t v = 0; v < M; ++v) {
                lanes::load(a[v], x + i * W + v * N);
                if (i >= j0) {
                    const Lanes d = a[v] * a[v] - row[i];
                    once[v].add(d * d);
                }
            }
            for (std::size_t j = std::max(i + 1, j0); j < j1; ++j) {
                const double sij = row[j];
#pragma GCC unroll 4
                for (std::size_t v = 0; v < M; ++v) {
                    Lanes xj;
                    lanes::load(xj, x + j * W + v * N);
                    const Lanes d = xj * a[v] - sij;
                    twice[v].add(d * d);
                }
            }
        }
    }
    for (std::size_t v = 0; v < M; ++v) {
        lanes::store(out.once + v * N, once[v].sum);
        lanes::store(out.twice + v * N, twice[v].sum);
        once[v].merge(twice[v]);
        lanes::store(out.deviation + v * N, once[v].deviation);
    }
}

// `sum` plus the sum over i, then j, of square(i, j) (i and j below p, the terms >= 0 or NaN),
// one addition at a time in effect: written out a stretch of rows at a time into `terms` (at
// least p long) for the exact sums, which take in blocks what lies in one binade.
template <class Square>
[[gnu::always_inline]] inline double add_squares_in_order(double sum, std::size_t p, std::vector<double>& terms,
                                                          Square square) {
    const std::size_t stretch = terms.size() / p;
    // A poll for a stop request about every million terms.
    const std::size_t poll_stretches = std::max<std::size_t>(1, (std::size_t{1} << 20) / (stretch * p));
    for (std::size_t i0 = 0, until_poll = poll_stretches; i0 < p; i0 += stretch) {
        if (--until_poll == 0) {
            poll_stop();
            until_poll = poll_stretches;
        }
        const std::size_t i1 = std::min(p, i0 + stretch);
        double* t = terms.data();
        for (std::size_t i = i0; i < i1; ++i) {
            for (std::size_t j = 0; j < p; ++j) *t++ = square(i, j);
        }
        sum = summation::add_nonnegative_in_order(sum, terms.data(), (i1 - i0) * p);
    }
    return sum;
}

// The p^2 terms of the observation in ch.one in the chain's order, where it crosses a power of
// two, holds a tie or starts the chain at 0.0.
template <std::size_t N>
[[gnu::always_inline]] inline void add_one_in_order(Chain& ch) {
    const double* x = ch.one.data();
    ch.sum = add_squares_in_order(ch.sum, ch.p, ch.terms, [&](std::size_t i, std::size_t j) {
        const double d = x[j] * x[i] - ch.s[i * ch.p + j];
        return d * d;
    });
}

// Observations [k, k + count) as a group, from a sum a block starts from; returns how many of
// them the sum took.
template <std::size_t N>
[[gnu::always_inline]] inline std::size_t add_group(Chain& ch, std::size_t k, std::size_t count) {
    static_assert(blocks::kChainGroupVectors == 2 && N <= blocks::kChainMostLanes);
    const summation::Binade b = summation::binade_of(ch.sum);
    const std::size_t p = ch.p, vectors = (count + N - 1) / N, width = vectors * N;
    double* x = ch.group.data();
    for (std::size_t g = 0; g < count; ++g) {
        ch.fetch(k + g, ch.one.data());
        for (std::size_t j = 0; j < p; ++j) x[j * width + g] = ch.one[j];
    }
    // Lanes past `count` are computed and never taken.
    for (std::size_t g = count; g < width; ++g) {
        for (std::size_t j = 0; j < p; ++j) x[j * width + g] = 0.0;
    }
    LaneSums lane;
    if (vectors == 1) group_sums<N, 1>(b, x, ch.s, p, lane);
    else group_sums<N, 2>(b, x, ch.s, p, lane);
    // Lane by lane, each an exact block while it is one (summation::close, for terms >= 0).
    std::size_t g = 0;
    while (g < count) {
        const summation::Totals once{lane.once[g], lane.once[g], lane.deviation[g]};
        const summation::Totals twice{lane.twice[g], lane.twice[g], 0.0};
        if (summation::close(ch.sum, summation::once_plus_twice(once, twice, b), b, true)) {
            ++g;
            continue;
        }
        // Not exact, or the sum reaches the next power of two inside: one term at a time, and
        // the lanes after it stand if the sum is still in their binade.
        ch.fetch(k + g, ch.one.data());
        add_one_in_order<N>(ch);
        ++g;
        if (summation::binade_of(ch.sum).base != b.base) break;
    }
    return g;
}

// The observation in ch.one as one exact block, lanes along the rows of S; false, leaving the
// sum, if it is not one.
template <std::size_t N>
[[gnu::always_inline]] inline bool add_one(Chain& ch) {
    using Lanes = lanes::Vec<N>;
    using Bits = lanes::Bits<N>;
    const summation::Binade b = summation::binade_of(ch.sum);
    if (!b.ok) return false;
    const std::size_t p = ch.p;
    const double* x = ch.one.data();
    Squares<N> once(b), twice[2]{Squares<N>(b), Squares<N>(b)};
    // Past p both are 0.0, and so is the term.
    for (std::size_t j = 0; j < p; j += N) {
        Lanes xv, dv;
        lanes::load(xv, x + j);
        lanes::load(dv, ch.diagonal.data() + j);
        const Lanes d = xv * xv - dv;
        once.add(d * d);
    }
    Lanes index;
    for (std::size_t l = 0; l < N; ++l) index[l] = static_cast<double>(l);
    for (std::size_t i = 0; i + 1 < p; ++i) {
        const double a = x[i];
        const double* row = ch.s + i * p;
        std::size_t j = i + 1;
        for (; j + 2 * N <= p; j += 2 * N) {
            Lanes x0, x1, s0, s1;
            lanes::load(x0, x + j);
            lanes::load(x1, x + j + N);
            lanes::load(s0, row + j);
            lanes::load(s1, row + j + N);
            const Lanes d0 = x0 * a - s0;
            const Lanes d1 = x1 * a - s1;
            twice[0].add(d0 * d0);
            twice[1].add(d1 * d1);
        }
        if (j + N <= p) {
            Lanes xv, sv;
            lanes::load(xv, x + j);
            lanes::load(sv, row + j);
            const Lanes d = xv * a - sv;
            twice[0].add(d * d);
            j += N;
        }
        if (j < p) {
            // The row's last lanes, the rest cleared; read from a copy where S ends.
            Lanes xv, sv;
            lanes::load(xv, x + j);
            if (i * p + j + N <= p * p) {
                lanes::load(sv, row + j);
            } else {
                double tail[N] = {};
                std::copy_n(row + j, p - j, tail);
                lanes::load(sv, tail);
            }
            const Lanes d = xv * a - sv;
            const Bits inside = index < static_cast<double>(p - j);
            twice[1].add((Lanes)((Bits)(d * d) & inside));
        }
    }
    twice[0].merge(twice[1]);
    return summation::close(ch.sum, summation::once_plus_twice(once.totals(), twice[0].totals(), b), b, true);
}

// Adds every observation's terms to ch.sum, in groups of up to kChainGroupVectors vectors of
// lanes where many are foreseen to fit, one at a time where few are.
template <std::size_t N>
[[gnu::always_inline]] inline void add_observations(Chain& ch) {
    constexpr std::size_t most = blocks::kChainGroupVectors * N;
    const std::size_t n = ch.o.rows.size(), p = ch.p;
    std::size_t work = 0;
    for (std::size_t k = 0; k < n;) {
        // A poll for a stop request about every million terms (long groups poll inside too).
        if (work >= (std::size_t{1} << 20)) {
            poll_stop();
            work = 0;
        }
        const double before = ch.sum;
        const std::size_t fit = foreseen_to_fit(ch, std::min(most, n - k));
        std::size_t taken = 1;
        // A group costs its whole vectors, one observation a fraction more than its share
        // (fit > 0: the sum is one a block starts from).
        if (4 * fit >= 3 * N) {
            // Up to the observation foreseen to cross, whose lane the sum may yet take.
            const std::size_t lanes = std::min(most, (fit + N) / N * N);
            taken = add_group<N>(ch, k, std::min(lanes, n - k));
        } else {
            ch.fetch(k, ch.one.data());
            if (fit == 0 || !add_one<N>(ch)) add_one_in_order<N>(ch);
        }
        ch.per_observation = (ch.sum - before) / static_cast<double>(taken);
        k += taken;
        work += taken * p * p;
    }
}

// Eight lanes where offered: on an AMD EPYC (Zen 4), whose 512-bit operations run as two halves,
// the whole call measured 3.2 against 3.7-3.9 ms at 2500x100, 0.21 against 0.24 at 500x50, 56
// against 66-70 ms at 5000x300 and 320-350 against 425-465 ms at 1000x1500 (with the integer
// maximum of summation.hpp's eight-lane blocks).
double squared_deviation_sum(const CompleteObservations& o, const Matrix& s, std::size_t p) {
    Chain ch(o, s, p);
    const auto kernel = [&]<std::size_t N>() __attribute__((always_inline)) { add_observations<N>(ch); };
    lanes::run<lanes::Kernel::deviation_chain>(kernel);
    return ch.sum;
}

}  // namespace

Result<Matrix> sample_covariance_matrix(MatrixView data, double frequency) {
    auto observations = complete_observations(data);
    if (!observations.ok()) return observations.error();
    const std::size_t n = observations.value().rows.size();
    return scaled_cross_product(observations.value(), static_cast<double>(n - 1), frequency);
}

namespace {

// What both shrinkage estimators start from: S with divisor n, and the level of its target.
struct Population {
    Matrix s;
    std::size_t n;
    std::size_t p;
    double mu;
};

template <class Observations>
Population population(const Observations& observations, std::size_t n, std::size_t p) {
    Matrix s = scaled_cross_product(observations, static_cast<double>(n), 1.0);
    const double mu = target_level(s, p);
    return {std::move(s), n, p, mu};
}

// The shrunk matrix and the intensity reported beside it, clamped to [0, 1] (NaN stays NaN).
std::pair<Matrix, double> shrunk(Population&& pop, double intensity, double frequency) {
    Matrix m = shrink(std::move(pop.s), pop.p, pop.mu, intensity, frequency);
    return {std::move(m), std::clamp(intensity, 0.0, 1.0)};
}

}  // namespace

Result<std::pair<Matrix, double>> ledoit_wolf_covariance_matrix(MatrixView data, double frequency) {
    auto observations = complete_observations(data);
    if (!observations.ok()) return observations.error();
    Population pop = population(observations.value(), observations.value().rows.size(), observations.value().cols);
    const std::size_t n = pop.n, p = pop.p;
    const double* s = pop.s.data();

    std::vector<double> terms(std::max(p, blocks::kChainTerms));
    const double d2 = add_squares_in_order(0.0, p, terms, [&](std::size_t i, std::size_t j) {
        const double d = s[i * p + j] - (i == j ? pop.mu : 0.0);
        return d * d;
    });
    double delta = 1.0;  // S already is the target
    if (!(d2 <= 0.0)) {
        const double b2bar =
            squared_deviation_sum(observations.value(), pop.s, p) / static_cast<double>(std::uint64_t{n} * n);
        // fmin takes the number when the other one is NaN.
        delta = std::fmin(b2bar, d2) / d2;
    }
    return shrunk(std::move(pop), delta, frequency);
}

Result<std::pair<Matrix, double>> oas_covariance_matrix(MatrixView data, double frequency) {
    auto observations = complete_observations(data);
    if (!observations.ok()) return observations.error();
    Population pop = population(observations.value(), observations.value().rows.size(), observations.value().cols);
    const std::size_t n = pop.n, p = pop.p;
    const double mu = pop.mu;
    const double* s = pop.s.data();

    std::vector<double> terms(std::max(p, blocks::kChainTerms));
    const double squares =
        add_squares_in_order(0.0, p, terms, [&](std::size_t i, std::size_t j) { return s[i * p + j] * s[i * p + j]; });
    const double alpha = squares / static_cast<double>(std::uint64_t{p} * p);
    const double num = mu * mu + alpha;
    const double den = (alpha - (mu * mu) / static_cast<double>(p)) * (static_cast<double>(n) + 1.0);
    // fmin also maps a NaN quotient to 1.
    const double rho = den <= 0.0 ? 1.0 : std::fmin(num / den, 1.0);
    return shrunk(std::move(pop), rho, frequency);
}

Result<Matrix> correlation_to_covariance(MatrixView correlation, std::span<const double> volatility) {
    auto size = check_square(correlation);
    if (!size.ok()) return size.error();
    const std::size_t n = size.value();
    if (volatility.size() != n) return ValidationError{"volatility length must match correlation dimensions"};
    Matrix out = Matrix::filled(n, n, 0.0);
    const double* rho = correlation.data();
    double* r = out.data();
    // No symmetrisation: the row's volatility multiplies first, so (i, j) and (j, i) may differ
    // in the last bit (and in the NaN, when two meet).
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j)
            r[i * n + j] = lanes::mul(lanes::mul(rho[i * n + j], volatility[i]), volatility[j]);
    }
    return out;
}

Result<Matrix> covariance_to_correlation(MatrixView covariance) {
    auto size = check_square(covariance);
    if (!size.ok()) return size.error();
    const std::size_t n = size.value();
    const double* c = covariance.data();
    // A NaN, negative or zero variance gives 0.0, so s is never NaN.
    std::vector<double> sd(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = c[i * n + i];
        sd[i] = std::sqrt(v > 0.0 ? v : 0.0);
    }
    Matrix out = Matrix::filled(n, n, 0.0);
    double* r = out.data();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const double d = sd[i] * sd[j];
            r[i * n + j] = std::clamp(d > 0.0 ? c[i * n + j] / d : 0.0, -1.0, 1.0);
        }
        r[i * n + i] = 1.0;
    }
    return out;
}

}  // namespace valmora
