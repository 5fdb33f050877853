// Portfolio risk: variance of a portfolio under a linear factor model.
#pragma once

#include <span>
#include <vector>

#include "matrix.hpp"
#include "result.hpp"

namespace valmora {

struct FactorRisk {
    double total_variance;
    double factor_variance;
    double specific_variance;
    std::vector<double> contributions;  // one per factor; summed left to right they give factor_variance
};

// Loadings are n x k (one row per asset), the factor covariance k x k; both are read in place.
Result<FactorRisk> factor_risk_decomposition(std::span<const double> weights, MatrixView factor_loadings,
                                             MatrixView factor_covariance, std::span<const double> specific_variance);

}  // namespace valmora
