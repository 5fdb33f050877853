#include "risk.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "lanes.hpp"

namespace valmora {
namespace {

// b_j <- (w_i * L_ij) + b_j over the assets in order, starting from +0.0.
void accumulate_exposures_scalar(const double* weights, const double* loadings, std::size_t n, std::size_t k,
                                 std::size_t first_col, double* exposures) {
    for (std::size_t i = 0; i < n; ++i) {
        const double w = weights[i];
        const double* row = loadings + i * k;
        for (std::size_t j = first_col; j < k; ++j) exposures[j] = (w * row[j]) + exposures[j];
    }
}

// Groups of G vectors of N exposures advance together, one lane per exposure; each lane still
// adds the assets in order with a separate multiply and add, so the bits are those of the scalar
// loop. Every row of a block is read whole, front to back, while the whole width of exposures
// up to kMaxVecs vectors stays in registers.
template <std::size_t N, std::size_t G>
[[gnu::always_inline]] inline void accumulate_group(const double* w, const double* block, std::size_t rows,
                                                    std::size_t k, std::size_t j, double* exposures) {
    using Lanes = lanes::Vec<N>;
    Lanes b[G];
#pragma GCC unroll 16
    for (std::size_t g = 0; g < G; ++g) lanes::load(b[g], exposures + j + g * N);
    for (std::size_t i = 0; i < rows; ++i) {
        const double* at = block + i * k + j;
        Lanes wi;
        lanes::splat(wi, w[i]);
#pragma GCC unroll 16
        for (std::size_t g = 0; g < G; ++g) {
            Lanes l;
            lanes::load(l, at + g * N);
            b[g] = (wi * l) + b[g];
        }
    }
#pragma GCC unroll 16
    for (std::size_t g = 0; g < G; ++g) lanes::store(exposures + j + g * N, b[g]);
}

template <std::size_t N>
[[gnu::always_inline]] inline void accumulate_exposures_lanes(const double* weights, const double* loadings,
                                                              std::size_t n, std::size_t k, double* exposures) {
    // Rows in blocks that stay in the first-level cache while each column group sweeps them.
    constexpr std::size_t kRowBlock = 64;
    // Vectors per group: as many as the registers hold beside the loads (16 registers on the
    // baseline and AVX2, 32 with AVX-512).
    constexpr std::size_t kVecs = N == 8 ? 8 : 4;
    const std::size_t vector_cols = k - k % N;
    for (std::size_t i0 = 0; i0 < n; i0 += kRowBlock) {
        const std::size_t rows = std::min(kRowBlock, n - i0);
        const double* w = weights + i0;
        const double* block = loadings + i0 * k;
        std::size_t j = 0;
        for (; j + kVecs * N <= vector_cols; j += kVecs * N) accumulate_group<N, kVecs>(w, block, rows, k, j, exposures);
        for (; j + 2 * N <= vector_cols; j += 2 * N) accumulate_group<N, 2>(w, block, rows, k, j, exposures);
        for (; j < vector_cols; j += N) accumulate_group<N, 1>(w, block, rows, k, j, exposures);
        accumulate_exposures_scalar(w, block, rows, k, vector_cols, exposures);
    }
}

VALMORA_LANES_KERNEL(void, accumulate_exposures, accumulate_exposures_lanes,
                     (const double* weights, const double* loadings, std::size_t n, std::size_t k,
                      double* exposures),
                     (weights, loadings, n, k, exposures))

}  // namespace

Result<FactorRisk> factor_risk_decomposition(const std::vector<double>& weights, const Matrix& factor_loadings,
                                             const Matrix& factor_covariance,
                                             const std::vector<double>& specific_variance) {
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
    accumulate_exposures(weights.data(), factor_loadings.data(), n, k, exposures.data());

    // v = F b, row r of F against b, columns in order.
    const double* f = factor_covariance.data();
    std::vector<double> covariance_times_exposures(k, 0.0);
    for (std::size_t r = 0; r < k; ++r) {
        double v = 0.0;
        for (std::size_t m = 0; m < k; ++m) v = (f[r * k + m] * exposures[m]) + v;
        covariance_times_exposures[r] = v;
    }

    std::vector<double> contributions(k);
    for (std::size_t j = 0; j < k; ++j) contributions[j] = exposures[j] * covariance_times_exposures[j];

    // Both variances start from their first term, not from 0.0.
    double factor = contributions[0];
    for (std::size_t j = 1; j < k; ++j) factor += contributions[j];
    double specific = (weights[0] * weights[0]) * specific_variance[0];
    for (std::size_t i = 1; i < n; ++i) specific += (weights[i] * weights[i]) * specific_variance[i];

    return FactorRisk{factor + specific, factor, specific, std::move(contributions)};
}

}  // namespace valmora
