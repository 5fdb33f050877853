// The module functions, one thin wrapper each, grouped by family.
#pragma once

#include <Python.h>

namespace valmora::py {

#define VALMORA_FUNCTION(name) PyObject* name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// covariance.cpp
VALMORA_FUNCTION(sample_covariance_matrix);
VALMORA_FUNCTION(ledoit_wolf_covariance_matrix);
VALMORA_FUNCTION(oas_covariance_matrix);
VALMORA_FUNCTION(covariance_to_correlation);
VALMORA_FUNCTION(correlation_to_covariance);

// timeseries.cpp
VALMORA_FUNCTION(rolling_correlation);
VALMORA_FUNCTION(cointegration_spread);
VALMORA_FUNCTION(transfer_entropy);

// execution.cpp
VALMORA_FUNCTION(twap_schedule);
VALMORA_FUNCTION(vwap_schedule);
VALMORA_FUNCTION(almgren_chriss_market_impact);
VALMORA_FUNCTION(optimal_execution_trajectory);

// risk.cpp
VALMORA_FUNCTION(factor_risk_decomposition);

#undef VALMORA_FUNCTION

}  // namespace valmora::py
