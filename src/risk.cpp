#include "risk.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "lanes.hpp"

namespace valmora {
namespace {

// A second, unrelated chain carried along the first pass over the rows: sum <- (a_i * a_i) * c_i
// + sum for the rows from `from` on. Its additions hide in the latency of the vector ones.
struct SideChain {
    const double* a;
    const double* c;
    std::size_t from;
    double sum;
};

// b_j <- (w_i * L_ij) + b_j over the assets in order, starting from +0.0.
//
// G vectors of N exposures advance together, one lane per exposure; each lane still adds the
// assets in order with a separate multiply and add, so the bits are those of the scalar loop.
// Columns j to j + G * N come from the rows in place; with Tail, one more vector holds the last
// k % N columns, read from `tail` (rows of N values, zero-padded), so that every exposure of a
// row advances in the same pass instead of in a slow scalar chain of its own.
template <std::size_t N, std::size_t G, bool Tail>
[[gnu::always_inline]] inline void accumulate_group(const double* w, const double* block, std::size_t rows,
                                                    std::size_t k, std::size_t j, const double* tail,
                                                    double* exposures, SideChain* side) {
    using Lanes = lanes::Vec<N>;
    constexpr std::size_t V = G + (Tail ? 1 : 0);
    Lanes b[V > 0 ? V : 1];
    double last[N] = {};
#pragma GCC unroll 16
    for (std::size_t g = 0; g < G; ++g) lanes::load(b[g], exposures + j + g * N);
    if constexpr (Tail) {
        std::copy(exposures + j + G * N, exposures + k, last);
        lanes::load(b[G], last);
    }
    // In a register, not behind the pointer: a store and reload per row would lengthen the chain.
    double side_sum = side != nullptr ? side->sum : 0.0;
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
        if constexpr (Tail) {
            Lanes l;
            lanes::load(l, tail + i * N);
            b[G] = (wi * l) + b[G];
        }
        if (side != nullptr && i >= side->from) side_sum += (side->a[i] * side->a[i]) * side->c[i];
    }
    if (side != nullptr) side->sum = side_sum;
#pragma GCC unroll 16
    for (std::size_t g = 0; g < G; ++g) lanes::store(exposures + j + g * N, b[g]);
    if constexpr (Tail) {
        lanes::store(last, b[G]);
        std::copy(last, last + (k - j - G * N), exposures + j + G * N);
    }
}

// The group of `vecs` whole vectors (at most Max), with or without the tail vector.
template <std::size_t N, std::size_t Max, std::size_t G = 0>
[[gnu::always_inline]] inline void accumulate_groups(std::size_t vecs, bool tail_too, const double* w,
                                                     const double* block, std::size_t rows, std::size_t k,
                                                     std::size_t j, const double* tail, double* exposures,
                                                     SideChain* side) {
    if constexpr (G < Max) {
        if (vecs != G) {
            accumulate_groups<N, Max, G + 1>(vecs, tail_too, w, block, rows, k, j, tail, exposures, side);
            return;
        }
    }
    if (tail_too) accumulate_group<N, G, true>(w, block, rows, k, j, tail, exposures, side);
    else accumulate_group<N, G, false>(w, block, rows, k, j, tail, exposures, side);
}

template <std::size_t N>
[[gnu::always_inline]] inline void accumulate_exposures_lanes(const double* weights, const double* loadings,
                                                              std::size_t n, std::size_t k, double* exposures,
                                                              SideChain* side) {
    // Rows in blocks that stay in the first-level cache while each column group sweeps them.
    constexpr std::size_t kRowBlock = 64;
    // Vectors per group, the tail included: as many as the registers hold beside the loads
    // (16 registers on the baseline and AVX2, 32 with AVX-512).
    constexpr std::size_t kVecs = N == 8 ? 8 : 6;
    const std::size_t whole = k / N;
    const std::size_t tail_cols = k % N;
    double tail[kRowBlock * N] = {};
    for (std::size_t i0 = 0; i0 < n; i0 += kRowBlock) {
        const std::size_t rows = std::min(kRowBlock, n - i0);
        const double* w = weights + i0;
        const double* block = loadings + i0 * k;
        if (tail_cols > 0) {
            for (std::size_t i = 0; i < rows; ++i) {
                for (std::size_t c = 0; c < tail_cols; ++c) tail[i * N + c] = block[i * k + whole * N + c];
            }
        }
        // The side chain rides along the first group of each block, rows in order.
        SideChain block_side{};
        if (side != nullptr) {
            block_side = {side->a + i0, side->c + i0, side->from > i0 ? side->from - i0 : 0, side->sum};
        }
        SideChain* first = side != nullptr ? &block_side : nullptr;
        std::size_t v = 0;
        while (v < whole || (v == whole && tail_cols > 0)) {
            const std::size_t vecs = std::min(kVecs, whole - v);
            const bool tail_too = v + vecs == whole && tail_cols > 0 && vecs < kVecs;
            accumulate_groups<N, kVecs>(vecs, tail_too, w, block, rows, k, v * N, tail, exposures, first);
            first = nullptr;
            v += vecs;
            if (tail_too || (v == whole && tail_cols == 0)) break;
        }
        if (side != nullptr) side->sum = block_side.sum;
    }
}

VALMORA_LANES_KERNEL(void, accumulate_exposures, accumulate_exposures_lanes,
                     (const double* weights, const double* loadings, std::size_t n, std::size_t k,
                      double* exposures, SideChain* side),
                     (weights, loadings, n, k, exposures, side))

}  // namespace

Result<FactorRisk> factor_risk_decomposition(std::span<const double> weights, MatrixView factor_loadings,
                                             MatrixView factor_covariance,
                                             std::span<const double> specific_variance) {
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

    // Accumulators start at +0.0, so an all-zero portfolio has +0.0 exposures. The specific
    // variance starts from its first term and adds the others along the same pass.
    std::vector<double> exposures(k, 0.0);
    SideChain specific{weights.data(), specific_variance.data(), 1,
                       (weights[0] * weights[0]) * specific_variance[0]};
    accumulate_exposures(weights.data(), factor_loadings.data(), n, k, exposures.data(), &specific);

    // v = F b, row r of F against b, columns in order: the same lane kernel over the transpose
    // of F, as f_rm * b_m and b_m * f_rm are the same product.
    const double* f = factor_covariance.data();
    std::vector<double> transposed(k * k);
    for (std::size_t m = 0; m < k; ++m) {
        for (std::size_t r = 0; r < k; ++r) transposed[m * k + r] = f[r * k + m];
    }
    std::vector<double> covariance_times_exposures(k, 0.0);
    accumulate_exposures(exposures.data(), transposed.data(), k, k, covariance_times_exposures.data(), nullptr);

    std::vector<double> contributions(k);
    for (std::size_t j = 0; j < k; ++j) contributions[j] = exposures[j] * covariance_times_exposures[j];

    // The factor variance starts from its first term, not from 0.0.
    double factor = contributions[0];
    for (std::size_t j = 1; j < k; ++j) factor += contributions[j];

    return FactorRisk{factor + specific.sum, factor, specific.sum, std::move(contributions)};
}

}  // namespace valmora
