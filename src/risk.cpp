#include "risk.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "lanes.hpp"
#include "summation.hpp"

namespace valmora {
namespace {

// b_j <- (w_i * L_ij) + b_j over the assets in order, starting from +0.0; with WeightFirst false,
// b_j <- (L_ij * w_i) + b_j.
//
// Each lane of a vector holds one exposure and adds the assets in order with a separate multiply
// and add, so the bits are those of the scalar loop; the columns past the last whole vector take
// the scalar loop itself. Both take their operands in the written order (lanes::add, lanes::mul),
// which decides the NaN when two meet. The rows come a few at a time, each exposure held in a
// register across them, and the exposures live in a buffer aligned to the widest vector, as a load
// that spans two cache lines cannot be forwarded from the store before it.
template <std::size_t N, bool WeightFirst>
[[gnu::always_inline]] inline void accumulate_exposures_lanes(const double* weights, const double* loadings,
                                                              std::size_t n, std::size_t k, double* exposures) {
    constexpr std::size_t kRows = 4;
    constexpr std::size_t kAlign = 64;
    std::vector<double> buffer(k + kAlign / sizeof(double));
    double* b = buffer.data();
    b += (kAlign - reinterpret_cast<std::uintptr_t>(b) % kAlign) % kAlign / sizeof(double);
    std::copy(exposures, exposures + k, b);
    // M columns from j on, over `rows` rows of `block` with their weights `w`.
    auto columns = [&]<std::size_t M>(const double* block, std::size_t rows, const double* w, std::size_t j)
        __attribute__((always_inline)) {
        lanes::Vec<M> sum;
        lanes::load(sum, b + j);
        for (std::size_t r = 0; r < rows; ++r) {
            lanes::Vec<M> l, wr, t;
            lanes::load(l, block + r * k + j);
            lanes::splat(wr, w[r]);
            if constexpr (WeightFirst) lanes::mul(t, wr, l);
            else lanes::mul(t, l, wr);
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
        const double* block = loadings + i0 * k;
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
                sum = lanes::add<N>(WeightFirst ? lanes::mul<N>(w[r], l) : lanes::mul<N>(l, w[r]), sum);
            }
            b[j] = sum;
        }
    };
    std::size_t i0 = 0;
    for (; i0 + kRows <= n; i0 += kRows) advance(i0, kRows);
    if (i0 < n) advance(i0, n - i0);
    std::copy(b, b + k, exposures);
}

template <bool WeightFirst>
void accumulate_exposures(const double* weights, const double* loadings, std::size_t n, std::size_t k,
                          double* exposures) {
    const auto kernel = [&]<std::size_t N>() __attribute__((always_inline)) {
        accumulate_exposures_lanes<N, WeightFirst>(weights, loadings, n, k, exposures);
    };
    lanes::run<lanes::Kernel::exposures>(kernel);
}

// (w_i * w_i) * s_i summed left to right, starting from the first term. The terms are made a
// chunk at a time and added with the chain's bits (summation.hpp): one addition after another
// waits on the last, three cycles a term at 3000 assets.
double specific_variance_sum(std::span<const double> weights, std::span<const double> specific_variance) {
    constexpr std::size_t kChunk = 1024;
    double terms[kChunk];
    double sum = lanes::mul(weights[0] * weights[0], specific_variance[0]);
    for (std::size_t i = 1; i < weights.size(); i += kChunk) {
        const std::size_t m = std::min(kChunk, weights.size() - i);
        for (std::size_t t = 0; t < m; ++t) {
            terms[t] = lanes::mul(weights[i + t] * weights[i + t], specific_variance[i + t]);
        }
        sum = summation::add_in_order(sum, terms, m);
    }
    return sum;
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
    accumulate_exposures<true>(weights.data(), factor_loadings.data(), n, k, exposures.data());

    // v = F b, v_r <- (F_rm * b_m) + v_r, row r of F against b, columns in order: the same lane
    // kernel over the transpose of F, the loading (F_rm) first.
    const double* f = factor_covariance.data();
    std::vector<double> transposed(k * k);
    for (std::size_t m = 0; m < k; ++m) {
        for (std::size_t r = 0; r < k; ++r) transposed[m * k + r] = f[r * k + m];
    }
    std::vector<double> covariance_times_exposures(k, 0.0);
    accumulate_exposures<false>(exposures.data(), transposed.data(), k, k, covariance_times_exposures.data());

    std::vector<double> contributions(k);
    for (std::size_t j = 0; j < k; ++j) contributions[j] = lanes::mul(exposures[j], covariance_times_exposures[j]);

    // The factor variance starts from its first term, not from 0.0.
    double factor = contributions[0];
    for (std::size_t j = 1; j < k; ++j) factor = lanes::add(factor, contributions[j]);

    const double specific = specific_variance_sum(weights, specific_variance);
    return FactorRisk{lanes::add(factor, specific), factor, specific, std::move(contributions)};
}

}  // namespace valmora
