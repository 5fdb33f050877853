// Covariance estimation from observations, and conversion between covariance and correlation.
#pragma once

#include <utility>
#include <span>
#include <vector>

#include "matrix.hpp"
#include "result.hpp"

namespace valmora {

// Unbiased (divisor n - 1) covariance of the complete observations, times `frequency`.
Result<Matrix> sample_covariance_matrix(MatrixView data, double frequency);

// Covariance (divisor n) shrunk towards a scaled identity, times `frequency`, with the
// intensity that was applied; `frequency` never enters the intensity.
Result<std::pair<Matrix, double>> ledoit_wolf_covariance_matrix(MatrixView data, double frequency);
Result<std::pair<Matrix, double>> oas_covariance_matrix(MatrixView data, double frequency);

// Entry (i, j) = (correlation_ij * volatility_i) * volatility_j.
Result<Matrix> correlation_to_covariance(MatrixView correlation, std::span<const double> volatility);

// Entry (i, j) = covariance_ij / (s_i * s_j), clamped to [-1, 1], with an exact unit diagonal.
Result<Matrix> covariance_to_correlation(MatrixView covariance);

}  // namespace valmora
