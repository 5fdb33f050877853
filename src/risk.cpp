#include "risk.hpp"

#include <cstddef>
#include <utility>

namespace valmora {
namespace {

// b_j <- (w_i * L_ij) + b_j over the assets in order. The k sums are independent, so the
// inner loop may run in vector lanes over j; each lane still adds its assets in order.
void accumulate_exposures(const double* __restrict weights, const double* __restrict loadings, std::size_t n,
                          std::size_t k, double* __restrict exposures) {
    for (std::size_t i = 0; i < n; ++i) {
        const double w = weights[i];
        const double* __restrict row = loadings + i * k;
        for (std::size_t j = 0; j < k; ++j) exposures[j] = (w * row[j]) + exposures[j];
    }
}

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
