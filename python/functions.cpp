// Every module function, described once: its name, then each parameter's kind and name, and for
// labelled arguments the group of each axis read in step with others (their labels must agree).
// The core routine of the same name runs it, the `to_python` overload for the routine's value
// type builds its result, and its method definition, text signature, binder parameter list and
// label check are derived from this row. Rows are in registration order.
#include "functions.hpp"

#include "call.hpp"
#include "covariance.hpp"
#include "execution.hpp"
#include "risk.hpp"
#include "cointegration.hpp"
#include "rolling_correlation.hpp"
#include "transfer_entropy.hpp"

#define VALMORA_FUNCTIONS(F)                                                                                     \
    F(sample_covariance_matrix, Rows{"data"}, Real{"frequency"})                                                 \
    F(ledoit_wolf_covariance_matrix, Rows{"data"}, Real{"frequency"})                                            \
    F(oas_covariance_matrix, Rows{"data"}, Real{"frequency"})                                                    \
    F(covariance_to_correlation, Rows{"covariance", on(kVariables, kVariables)})                                 \
    F(correlation_to_covariance, Rows{"correlation", on(kVariables, kVariables)},                                \
      Vector{"volatility", on(kVariables)})                                                                      \
    F(rolling_correlation, Vector{"x", on(kObservations)}, Vector{"y", on(kObservations)}, Size{"window"})       \
    F(cointegration_spread, Vector{"y", on(kObservations)}, Vector{"x", on(kObservations)})                      \
    F(transfer_entropy, Vector{"source", on(kObservations)}, Vector{"target", on(kObservations)}, Size{"bins"},  \
      Size{"lag"})                                                                                               \
    F(twap_schedule, Real{"total_quantity"}, Size{"periods"})                                                    \
    F(vwap_schedule, Real{"total_quantity"}, Vector{"volume_curve"})                                             \
    F(almgren_chriss_market_impact, Real{"quantity"}, Real{"volatility"}, Real{"daily_volume"}, Real{"spread"},  \
      Real{"temporary_impact"}, Real{"permanent_impact"})                                                        \
    F(optimal_execution_trajectory, Real{"total_quantity"}, Size{"periods"}, Real{"risk_aversion"})              \
    F(factor_risk_decomposition, Vector{"weights", on(kAssets)}, Rows{"factor_loadings", on(kAssets, kFactors)}, \
      Rows{"factor_covariance", on(kFactors, kFactors)}, Vector{"specific_variance", on(kAssets)})

namespace valmora::py {
namespace {

// Label groups: series read in step share their observations; a matrix's rows and columns and a
// vector over the same variables, assets or factors share theirs.
constexpr int kObservations = 1, kVariables = 1, kAssets = 1, kFactors = 2;
constexpr Axes on(int index, int columns = 0) { return {index, columns}; }

#define VALMORA_DESCRIBE(name, ...) constexpr Function name{#name, &valmora::name, __VA_ARGS__};
VALMORA_FUNCTIONS(VALMORA_DESCRIBE)
#undef VALMORA_DESCRIBE

#define VALMORA_METHOD(name, ...) method<name>(),
PyMethodDef kMethods[] = {VALMORA_FUNCTIONS(VALMORA_METHOD)};
#undef VALMORA_METHOD

}  // namespace

std::span<PyMethodDef> module_functions() { return kMethods; }

}  // namespace valmora::py
