#include "covariance.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

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

template <std::size_t N>
using Squares = summation::Block<N, true>;

// Blocks of terms (see below). x holds G observations in rows of `width` values, cov the rows of
// S and diagonal its diagonal, all padded with zeros to whole vectors: a padded term is 0.

// The diagonal terms of G observations, into `once`.
template <std::size_t N, std::size_t G>
[[gnu::always_inline]] inline void add_diagonal(Squares<N>& once, const double* x, const double* diagonal,
                                                std::size_t width) {
    using Lanes = lanes::Vec<N>;
    for (std::size_t g = 0; g < G; ++g) {
        for (std::size_t j = 0; j < width; j += N) {
            Lanes xv, dv;
            lanes::load(xv, x + g * width + j);
            lanes::load(dv, diagonal + j);
            const Lanes d = xv * xv - dv;
            once.add(d * d);
        }
    }
}

// The terms above the diagonal in rows [first, last) of S, of G observations, into `twice`.
template <std::size_t N, std::size_t G>
[[gnu::always_inline]] inline void add_upper_rows(Squares<N> (&twice)[G][2], const double* x, const double* cov,
                                                  std::size_t first, std::size_t last, std::size_t width) {
    using Lanes = lanes::Vec<N>;
    Lanes index;
    for (std::size_t l = 0; l < N; ++l) index[l] = static_cast<double>(l);
    for (std::size_t i = first; i < last; ++i) {
        // The vector holding column i + 1, its lanes up to column i cleared; none after the
        // last row when p is a whole number of vectors.
        std::size_t j = (i + 1) / N * N;
        if (j == width) break;
        const double* row = cov + i * width;
        Lanes a[G];
#pragma GCC unroll 4
        for (std::size_t g = 0; g < G; ++g) lanes::splat(a[g], x[g * width + i]);
        {
            Lanes sv, column;
            lanes::load(sv, row + j);
            lanes::splat(column, static_cast<double>(j));
            const auto upper = index + column > static_cast<double>(i);
#pragma GCC unroll 4
            for (std::size_t g = 0; g < G; ++g) {
                Lanes xv;
                lanes::load(xv, x + g * width + j);
                const Lanes d = xv * a[g] - sv;
                twice[g][0].add(upper ? d * d : Lanes{});
            }
        }
        for (j += N; j + N < width; j += 2 * N) {
            Lanes s0, s1;
            lanes::load(s0, row + j);
            lanes::load(s1, row + j + N);
#pragma GCC unroll 4
            for (std::size_t g = 0; g < G; ++g) {
                Lanes x0, x1;
                lanes::load(x0, x + g * width + j);
                lanes::load(x1, x + g * width + j + N);
                const Lanes d0 = x0 * a[g] - s0;
                const Lanes d1 = x1 * a[g] - s1;
                twice[g][0].add(d0 * d0);
                twice[g][1].add(d1 * d1);
            }
        }
        if (j < width) {
            Lanes sv;
            lanes::load(sv, row + j);
#pragma GCC unroll 4
            for (std::size_t g = 0; g < G; ++g) {
                Lanes xv;
                lanes::load(xv, x + g * width + j);
                const Lanes d = xv * a[g] - sv;
                twice[g][0].add(d * d);
            }
        }
    }
}

template <std::size_t N, std::size_t G>
[[gnu::always_inline]] inline void start_blocks(const summation::Binade& b, Squares<N>& once,
                                                Squares<N> (&twice)[G][2]) {
    once = Squares<N>(b);
    for (std::size_t g = 0; g < G; ++g) twice[g][0] = twice[g][1] = Squares<N>(b);
}

// Adds the block's sum to `sum` if the block is exact; false, leaving `sum`, otherwise.
template <std::size_t N, std::size_t G>
[[gnu::always_inline]] inline bool close_blocks(double& sum, const summation::Binade& b, const Squares<N>& once,
                                                Squares<N> (&twice)[G][2]) {
    for (std::size_t g = 0; g < G; ++g) {
        twice[0][0].merge(twice[g][1]);
        if (g > 0) twice[0][0].merge(twice[g][0]);
    }
    return summation::close(sum, summation::once_plus_twice(once.totals(), twice[0][0].totals(), b), b, true);
}

// Adds the terms of G consecutive observations as one exact block, if it is exact.
template <std::size_t N, std::size_t G>
[[gnu::always_inline]] inline bool add_exact_block(double& sum, const double* x, const double* cov,
                                                   const double* diagonal, std::size_t p, std::size_t width) {
    const summation::Binade b = summation::binade_of(sum);
    if (!b.ok) return false;
    Squares<N> once, twice[G][2];
    start_blocks<N, G>(b, once, twice);
    add_diagonal<N, G>(once, x, diagonal, width);
    add_upper_rows<N, G>(twice, x, cov, 0, p, width);
    return close_blocks<N, G>(sum, b, once, twice);
}

// The same for kMany observations at once, in pairs, S taken a stretch of `rows` rows at a time
// so that the stretch stays in cache while every pair meets it: for an S too large for the
// cache, which otherwise streams from memory once per pair.
constexpr std::size_t kMany = 16;
constexpr std::size_t kCachedBytes = 256 * 1024;

// (`count` observations, an even number up to kMany.)
template <std::size_t N>
[[gnu::always_inline]] inline bool add_exact_many(double& sum, const double* x, const double* cov,
                                                  const double* diagonal, std::size_t p, std::size_t width,
                                                  std::size_t rows, std::size_t count) {
    const summation::Binade b = summation::binade_of(sum);
    if (!b.ok) return false;
    Squares<N> once, twice[2][2];
    start_blocks<N, 2>(b, once, twice);
    for (std::size_t g = 0; g < count; g += 2) add_diagonal<N, 2>(once, x + g * width, diagonal, width);
    for (std::size_t first = 0; first < p; first += rows) {
        const std::size_t last = std::min(p, first + rows);
        for (std::size_t g = 0; g < count; g += 2) add_upper_rows<N, 2>(twice, x + g * width, cov, first, last, width);
    }
    return close_blocks<N, 2>(sum, b, once, twice);
}

// The chain's operands laid out for the lanes: S and its diagonal in rows padded with zeros to a
// whole number of vectors of the kernel's `lanes`, and room for kMany observations.
struct Deviations {
    const Matrix& c;
    const Matrix& s;
    std::size_t p;
    std::size_t width;
    std::size_t many;  // observations per group: 2, or kMany where S outgrows the cache
    std::size_t rows;  // rows of S per stretch
    std::vector<double> cov, diagonal, x, terms;
    // What the last exact block added per observation (0.0 before the first): the sum's growth,
    // from which a block that would cross a power of two, and fail, is foreseen.
    double per_observation = 0.0;

    Deviations(const Matrix& c_, const Matrix& s_, std::size_t p_, std::size_t lanes)
        : c(c_),
          s(s_),
          p(p_),
          width((p_ + lanes - 1) / lanes * lanes),
          many(p * width * sizeof(double) > kCachedBytes ? kMany : 2),
          rows(std::max<std::size_t>(1, kCachedBytes / (width * sizeof(double)))),
          cov(p * width, 0.0),
          diagonal(width, 0.0),
          x(many * width, 0.0),
          terms(p) {
        for (std::size_t i = 0; i < p; ++i) {
            std::copy_n(s.data() + i * p, p, cov.begin() + static_cast<std::ptrdiff_t>(i * width));
            diagonal[i] = s.data()[i * p + i];
        }
    }
};

// Sum over k, then i, then j, from 0.0, of (c_kj c_ki - S_ij)^2: one chain of n p^2 additions,
// with the chain's bits (summation.hpp). The terms of two consecutive observations form one
// block, sharing the loads of S (of kMany, where S is too large for the cache). S is exactly
// symmetric and the product commutes, so the term of (k, j, i) has the bits of (k, i, j): a
// block's integer sum is the diagonal plus twice the upper triangle, and only those are
// computed. When kMany are not exact they go in pairs; when a pair is not exact, each
// observation is tried alone, and one that is not exact either adds its p^2 terms in the chain's
// order. This adds the groups of observations [first, last) to `sum`.
// How many of the next `count` observations the sum is foreseen to take before it reaches the
// next power of two, where a block fails: the last exact block's sum per observation, with a
// sixteenth to spare, against the room left. All of them before anything is measured.
inline std::size_t foreseen_to_fit(const Deviations& d, double sum, std::size_t count) {
    const summation::Binade b = summation::binade_of(sum);
    if (!(d.per_observation > 0.0) || !b.ok) return count;
    const double fit = (2.0 * b.base - sum) / (d.per_observation * 1.0625);
    return fit >= static_cast<double>(count) ? count : static_cast<std::size_t>(fit);
}

// Adds `count` observations from `x` as one exact block where foreseen to fit. (Not a lambda:
// a lambda is compiled without the kernel's instruction set.)
template <std::size_t N>
[[gnu::always_inline]] inline bool add_foreseen(Deviations& d, double& sum, const double* x, std::size_t count) {
    if (foreseen_to_fit(d, sum, count) < count) return false;
    const double before = sum;
    const bool done = count == 1 ? add_exact_block<N, 1>(sum, x, d.cov.data(), d.diagonal.data(), d.p, d.width)
                      : count == 2
                          ? add_exact_block<N, 2>(sum, x, d.cov.data(), d.diagonal.data(), d.p, d.width)
                          : add_exact_many<N>(sum, x, d.cov.data(), d.diagonal.data(), d.p, d.width, d.rows, count);
    if (done) d.per_observation = (sum - before) / static_cast<double>(count);
    return done;
}

template <std::size_t N>
[[gnu::always_inline]] inline double add_squared_deviations(Deviations& d, double sum, std::size_t first,
                                                            std::size_t last) {
    const std::size_t n = d.c.rows(), p = d.p, width = d.width, many = d.many;
    const double* c = d.c.data();
    const double* s = d.s.data();
    for (std::size_t k0 = first * many; k0 < n && k0 < last * many; k0 += many) {
        const std::size_t count = std::min(many, n - k0);
        for (std::size_t g = 0; g < count; ++g) {
            std::copy_n(c + (k0 + g) * p, p, d.x.begin() + static_cast<std::ptrdiff_t>(g * width));
        }
        std::size_t k = 0;
        if (count == kMany) {
            // The observations foreseen to fit as one block, the rest in pairs and alone.
            const std::size_t fit = foreseen_to_fit(d, sum, count) / 2 * 2;
            if (fit > 2 && add_foreseen<N>(d, sum, d.x.data(), fit)) k = fit;
        }
        for (; k < count; k += 2) {
            const std::size_t pair = std::min<std::size_t>(2, count - k);
            const double* xk = d.x.data() + k * width;
            if (pair == 2 && add_foreseen<N>(d, sum, xk, 2)) continue;
            for (std::size_t g = 0; g < pair; ++g) {
                if (add_foreseen<N>(d, sum, xk + g * width, 1)) continue;
                const double* obs = c + (k0 + k + g) * p;
                for (std::size_t i = 0; i < p; ++i) {
                    for (std::size_t j = 0; j < p; ++j) {
                        const double t = obs[j] * obs[i] - s[i * p + j];
                        d.terms[j] = t * t;
                    }
                    sum = summation::add_nonnegative_in_order(sum, d.terms.data(), p);
                }
            }
        }
    }
    return sum;
}

// Four lanes on short rows of S even where eight are offered, eight from kWideChainColumns on: on
// an AMD EPYC (Zen 4) eight lanes measured 0.210 against 0.185 ns per term at 500x50 and 0.147
// against 0.140 at 2500x100 (rows of S are short, and the cleared lanes of the first vector of
// each row cost more), 0.125 against 0.128 at 5000x300 and 1-7% faster at 1000x1500; on an Intel
// Xeon with AVX-512, 8% slower at 500x50, even at 2500x100, and 4-5% faster at 2500x128 to
// 2500x200, 10% at 5000x300 and 1000x700, 9-17% at 1000x1500.
constexpr std::size_t kWideChainColumns = 128;

double add_squared_deviations_lanes(Deviations& d, double sum, std::size_t first, std::size_t last) {
    const auto kernel = [&]<std::size_t N>() __attribute__((always_inline)) {
        return add_squared_deviations<N>(d, sum, first, last);
    };
    return lanes::run<lanes::Kernel::deviation_chain_short>(kernel);
}
double add_squared_deviations_wide(Deviations& d, double sum, std::size_t first, std::size_t last) {
    const auto kernel = [&]<std::size_t N>() __attribute__((always_inline)) {
        return add_squared_deviations<N>(d, sum, first, last);
    };
    return lanes::run<lanes::Kernel::deviation_chain_long>(kernel);
}

double squared_deviation_sum(const Matrix& c, const Matrix& s, std::size_t p) {
    // S is laid out for the lanes of the kernel that runs.
    const bool wide = p >= kWideChainColumns && lanes::lanes_of(lanes::Kernel::deviation_chain_long) == 8;
    Deviations d(c, s, p, wide ? 8 : 4);
    double sum = 0.0;
    // A poll for a stop request about every million terms.
    in_runs((c.rows() + d.many - 1) / d.many,
            [&](std::size_t first, std::size_t last) {
                sum = wide ? add_squared_deviations_wide(d, sum, first, last)
                           : add_squared_deviations_lanes(d, sum, first, last);
            },
            std::max<std::size_t>(1, (std::size_t{1} << 20) / (d.many * p * p)));
    return sum;
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
    // The intensity reads every centred observation again: they are copied once.
    const Matrix c = centred(observations.value());
    Population pop = population(c, c.rows(), observations.value().cols);
    const std::size_t n = pop.n, p = pop.p;
    const double* s = pop.s.data();

    double d2 = 0.0;
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            const double d = s[i * p + j] - (i == j ? pop.mu : 0.0);
            d2 += d * d;
        }
    }
    double delta = 1.0;  // S already is the target
    if (!(d2 <= 0.0)) {
        const double b2bar = squared_deviation_sum(c, pop.s, p) / static_cast<double>(std::uint64_t{n} * n);
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

    double squares = 0.0;
    for (std::size_t e = 0; e < p * p; ++e) squares += s[e] * s[e];
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
