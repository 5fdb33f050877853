#include "risk.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "lanes.hpp"

namespace valmora {
namespace {

// b_j <- (w_i * L_ij) + b_j over the assets in order, starting from +0.0.
//
// Each lane of a vector holds one exposure and adds the assets in order with a separate multiply
// and add, so the bits are those of the scalar loop; the columns past the last whole vector take
// the scalar loop itself. Both take their operands in the written order (lanes::add, lanes::mul),
// which decides the NaN when two meet. The rows come a few at a time, each exposure held in a
// register across them, and the exposures live in a buffer aligned to the widest vector, as a load
// that spans two cache lines cannot be forwarded from the store before it.
//
// The specific variance, (w_i * w_i) * s_i summed left to right from the first term, rides along a
// term a row: its additions wait on each other, three cycles a term alone, and here they hide under
// the rows' products.
template <std::size_t N>
[[gnu::always_inline]] inline void accumulate_exposures_lanes(const double* weights, const double* loadings,
                                                              const double* specific_variance, std::size_t n,
                                                              std::size_t k, double* exposures, double& specific) {
    constexpr std::size_t kRows = 4;
    constexpr std::size_t kAlign = 64;
    std::vector<double> buffer(k + kAlign / sizeof(double));
    double* b = buffer.data();
    b += (kAlign - reinterpret_cast<std::uintptr_t>(b) % kAlign) % kAlign / sizeof(double);
    std::copy(exposures, exposures + k, b);
    double chain = lanes::mul<N>(weights[0] * weights[0], specific_variance[0]);
    // M columns from j on, over `rows` rows of `block` with their weights `w`.
    auto columns = [&]<std::size_t M>(const double* block, std::size_t rows, const double* w, std::size_t j)
        __attribute__((always_inline)) {
        lanes::Vec<M> sum;
        lanes::load(sum, b + j);
        for (std::size_t r = 0; r < rows; ++r) {
            lanes::Vec<M> l, wr, t;
            lanes::load(l, block + r * k + j);
            lanes::splat(wr, w[r]);
            lanes::mul(t, wr, l);
            lanes::add(sum, t, sum);
        }
        lanes::store(b + j, sum);
    };
    // `rows` rows from i0 on; with rows = kRows the row loops unroll.
    auto advance = [&](std::size_t i0, std::size_t rows) __attribute__((always_inline)) {
        // The weights copied out first: read through `weights`, the compiler must assume that every
        // store to b may change them, and reloads them for every vector.
        double w[kRows];
        std::copy_n(weights + i0, rows, w);
        for (std::size_t r = i0 == 0 ? 1 : 0; r < rows; ++r) {
            chain = lanes::add<N>(chain, lanes::mul<N>(w[r] * w[r], specific_variance[i0 + r]));
        }
        const double* block = loadings + i0 * k;
        // The rows two advances on asked for now: at 3000x50 and 30000x50 (past the second-level
        // cache) on an AMD EPYC (Zen 4) the call took 0.95 of its time without.
        constexpr std::size_t kAhead = 2 * kRows;
        if (i0 + kAhead + rows <= n) {
            for (std::size_t p = 0; p < rows * k; p += 8) __builtin_prefetch(block + kAhead * k + p);
        }
        std::size_t j = 0;
        for (; j + N <= k; j += N) columns.template operator()<N>(block, rows, w, j);
        // Four more columns in a half-width vector at eight lanes: at 300000x7 on an AMD EPYC (Zen 4)
        // seven scalar columns took 1.07x the time of four lanes and three.
        if constexpr (N == 8) {
            if (j + 4 <= k) {
                columns.template operator()<4>(block, rows, w, j);
                j += 4;
            }
        }
        for (; j < k; ++j) {
            double sum = b[j];
            for (std::size_t r = 0; r < rows; ++r) {
                const double l = block[r * k + j];
                sum = lanes::add<N>(lanes::mul<N>(w[r], l), sum);
            }
            b[j] = sum;
        }
    };
    std::size_t i0 = 0;
    for (; i0 + kRows <= n; i0 += kRows) advance(i0, kRows);
    if (i0 < n) advance(i0, n - i0);
    std::copy(b, b + k, exposures);
    specific = chain;
}

void accumulate_exposures(const double* weights, const double* loadings, const double* specific_variance, std::size_t n,
                          std::size_t k, double* exposures, double& specific) {
    const auto kernel = [&]<std::size_t N>() __attribute__((always_inline)) {
        accumulate_exposures_lanes<N>(weights, loadings, specific_variance, n, k, exposures, specific);
    };
    lanes::run<lanes::Kernel::exposures>(kernel);
}

// v = F b: v_r <- (F_rm * b_m) + v_r over m in order from +0.0, the entry of F first. C rows of F
// at a time, read as they lie: their chains wait on nothing of each other, so eight of them keep
// the adders busy where one waits three cycles a term (and a transposed copy of F cost more than
// the products at 3000x50).
template <std::size_t C>
void rows_times(const double* f, const double* b, std::size_t k, std::size_t r0, double* v) {
    double sum[C] = {};
    for (std::size_t m = 0; m < k; ++m) {
        const double bm = b[m];
        for (std::size_t t = 0; t < C; ++t) sum[t] = lanes::add(lanes::mul(f[(r0 + t) * k + m], bm), sum[t]);
    }
    std::copy_n(sum, C, v + r0);
}

void covariance_times(const double* f, const double* b, std::size_t k, double* v) {
    std::size_t r = 0;
    for (; r + 8 <= k; r += 8) rows_times<8>(f, b, k, r, v);
    for (; r < k; ++r) rows_times<1>(f, b, k, r, v);
}

}  // namespace

Result<FactorRisk> factor_risk_decomposition(std::span<const double> weights, MatrixView factor_loadings,
                                             MatrixView factor_covariance, std::span<const double> specific_variance) {
    auto shape = check_shape(factor_loadings);
    if (!shape.ok()) return shape.error();
    const std::size_t n = shape.value().rows;
    const std::size_t k = shape.value().cols;
    if (weights.size() != n || weights.size() != specific_variance.size()) {
        return ValidationError{"weights and specific_variance length must match factor_loadings rows"};
    }
    auto size = check_square(factor_covariance);
    if (!size.ok()) return size.error();
    if (size.value() != k) return ValidationError{"factor_covariance dimensions must match factor_loadings columns"};

    // Accumulators start at +0.0, so an all-zero portfolio has +0.0 exposures.
    std::vector<double> exposures(k, 0.0);
    double specific = 0.0;
    accumulate_exposures(weights.data(), factor_loadings.data(), specific_variance.data(), n, k, exposures.data(),
                         specific);

    std::vector<double> covariance_times_exposures(k);
    covariance_times(factor_covariance.data(), exposures.data(), k, covariance_times_exposures.data());

    std::vector<double> contributions(k);
    for (std::size_t j = 0; j < k; ++j) contributions[j] = lanes::mul(exposures[j], covariance_times_exposures[j]);

    // The factor variance starts from its first term, not from 0.0.
    double factor = contributions[0];
    for (std::size_t j = 1; j < k; ++j) factor = lanes::add(factor, contributions[j]);

    return FactorRisk{lanes::add(factor, specific), factor, specific, std::move(contributions)};
}

}  // namespace valmora
