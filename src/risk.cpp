#include "risk.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

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

#if defined(__GNUC__)

// Two exposures advance together, one per lane; each lane still adds the assets in order with
// a separate multiply and add, so the bits are those of the scalar loop.
typedef double Lanes __attribute__((vector_size(16)));

inline Lanes load(const double* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

void accumulate_exposures(const double* weights, const double* loadings, std::size_t n, std::size_t k,
                          double* exposures) {
    // Rows in blocks that stay in the first-level cache while each column group sweeps them.
    constexpr std::size_t kRowBlock = 32;
    const std::size_t vector_cols = k - k % 8;
    for (std::size_t i0 = 0; i0 < n; i0 += kRowBlock) {
        const std::size_t rows = std::min(kRowBlock, n - i0);
        const double* w = weights + i0;
        const double* block = loadings + i0 * k;
        for (std::size_t j = 0; j < vector_cols; j += 8) {
            Lanes b0 = load(exposures + j), b1 = load(exposures + j + 2);
            Lanes b2 = load(exposures + j + 4), b3 = load(exposures + j + 6);
            for (std::size_t i = 0; i < rows; ++i) {
                const double* at = block + i * k + j;
                b0 = (w[i] * load(at)) + b0;
                b1 = (w[i] * load(at + 2)) + b1;
                b2 = (w[i] * load(at + 4)) + b2;
                b3 = (w[i] * load(at + 6)) + b3;
            }
            store(exposures + j, b0);
            store(exposures + j + 2, b1);
            store(exposures + j + 4, b2);
            store(exposures + j + 6, b3);
        }
        accumulate_exposures_scalar(w, block, rows, k, vector_cols, exposures);
    }
}

#else

void accumulate_exposures(const double* weights, const double* loadings, std::size_t n, std::size_t k,
                          double* exposures) {
    accumulate_exposures_scalar(weights, loadings, n, k, 0, exposures);
}

#endif

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
