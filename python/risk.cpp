// Wrapper of the portfolio-risk routine.
#include "call.hpp"
#include "functions.hpp"
#include "risk.hpp"

namespace valmora::py {
namespace {

constexpr const char* kFactorRiskParams[] = {"weights", "factor_loadings", "factor_covariance", "specific_variance"};

// (total, factor, specific, [contributions])
PyObject* build_factor_risk(const FactorRisk& risk) {
    return tuple_of({to_python(risk.total_variance), to_python(risk.factor_variance),
                     to_python(risk.specific_variance), to_python(risk.contributions)});
}

}  // namespace

PyObject* factor_risk_decomposition(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"factor_risk_decomposition", nullptr, kFactorRiskParams};
    return call<Vector, Rows, Rows, Vector>(sig, args, nargs, kwnames, valmora::factor_risk_decomposition,
                                            build_factor_risk);
}

}  // namespace valmora::py
