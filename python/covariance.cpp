// Wrappers of the covariance estimators and the covariance/correlation conversions.
#include "call.hpp"
#include "covariance.hpp"
#include "functions.hpp"

namespace valmora::py {
namespace {

constexpr const char* kEstimatorParams[] = {"data", "frequency"};
constexpr const char* kCovarianceParams[] = {"covariance"};
constexpr const char* kCorrelationParams[] = {"correlation", "volatility"};

}  // namespace

PyObject* sample_covariance_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"sample_covariance_matrix", nullptr, kEstimatorParams};
    return call<Rows, Real>(sig, args, nargs, kwnames, valmora::sample_covariance_matrix);
}

PyObject* ledoit_wolf_covariance_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"ledoit_wolf_covariance_matrix", nullptr, kEstimatorParams};
    return call<Rows, Real>(sig, args, nargs, kwnames, valmora::ledoit_wolf_covariance_matrix);
}

PyObject* oas_covariance_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"oas_covariance_matrix", nullptr, kEstimatorParams};
    return call<Rows, Real>(sig, args, nargs, kwnames, valmora::oas_covariance_matrix);
}

PyObject* covariance_to_correlation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"covariance_to_correlation", nullptr, kCovarianceParams};
    return call<Rows>(sig, args, nargs, kwnames, valmora::covariance_to_correlation);
}

PyObject* correlation_to_covariance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"correlation_to_covariance", nullptr, kCorrelationParams};
    return call<Rows, Vector>(sig, args, nargs, kwnames, valmora::correlation_to_covariance);
}

}  // namespace valmora::py
