// Every module function, described once: its name, then each parameter's kind and name. The
// core routine of the same name runs it, the `to_python` overload for the routine's value type
// builds its result, and its method definition, text signature and binder parameter list are
// derived from this row. Rows are in registration order.
#include "functions.hpp"

#include "call.hpp"
#include "covariance.hpp"
#include "execution.hpp"
#include "risk.hpp"
#include "cointegration.hpp"
#include "rolling_correlation.hpp"
#include "transfer_entropy.hpp"

#define VALMORA_FUNCTIONS(F)                                                                                    \
    F(sample_covariance_matrix, Rows{"data"}, Real{"frequency"})                                                \
    F(ledoit_wolf_covariance_matrix, Rows{"data"}, Real{"frequency"})                                           \
    F(oas_covariance_matrix, Rows{"data"}, Real{"frequency"})                                                   \
    F(covariance_to_correlation, Rows{"covariance"})                                                            \
    F(correlation_to_covariance, Rows{"correlation"}, Vector{"volatility"})                                     \
    F(rolling_correlation, Vector{"x"}, Vector{"y"}, Size{"window"})                                            \
    F(cointegration_spread, Vector{"y"}, Vector{"x"})                                                           \
    F(transfer_entropy, Vector{"source"}, Vector{"target"}, Size{"bins"}, Size{"lag"})                          \
    F(twap_schedule, Real{"total_quantity"}, Size{"periods"})                                                   \
    F(vwap_schedule, Real{"total_quantity"}, Vector{"volume_curve"})                                            \
    F(almgren_chriss_market_impact, Real{"quantity"}, Real{"volatility"}, Real{"daily_volume"}, Real{"spread"}, \
      Real{"temporary_impact"}, Real{"permanent_impact"})                                                       \
    F(optimal_execution_trajectory, Real{"total_quantity"}, Size{"periods"}, Real{"risk_aversion"})             \
    F(factor_risk_decomposition, Vector{"weights"}, Rows{"factor_loadings"}, Rows{"factor_covariance"},         \
      Vector{"specific_variance"})

namespace valmora::py {
namespace {

#define VALMORA_DESCRIBE(name, ...) constexpr Function name{#name, &valmora::name, __VA_ARGS__};
VALMORA_FUNCTIONS(VALMORA_DESCRIBE)
#undef VALMORA_DESCRIBE

#define VALMORA_METHOD(name, ...) method<name>(),
PyMethodDef kMethods[] = {VALMORA_FUNCTIONS(VALMORA_METHOD)};
#undef VALMORA_METHOD

}  // namespace

std::span<PyMethodDef> module_functions() { return kMethods; }

}  // namespace valmora::py
