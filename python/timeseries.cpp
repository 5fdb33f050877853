// Wrappers of the time-series routines.
#include "call.hpp"
#include "functions.hpp"
#include "timeseries.hpp"

namespace valmora::py {
namespace {

constexpr const char* kRollingParams[] = {"x", "y", "window"};
constexpr const char* kSpreadParams[] = {"y", "x"};
constexpr const char* kEntropyParams[] = {"source", "target", "bins", "lag"};

}  // namespace

PyObject* rolling_correlation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"rolling_correlation", nullptr, kRollingParams};
    return call<Vector, Vector, Size>(sig, args, nargs, kwnames, valmora::rolling_correlation);
}

PyObject* cointegration_spread(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"cointegration_spread", nullptr, kSpreadParams};
    return call<Vector, Vector>(sig, args, nargs, kwnames, valmora::cointegration_spread,
                                [](const CointegrationSpread& r) {
                                    return tuple_of({to_python(r.beta), to_python(r.alpha), to_python(r.spread)});
                                });
}

PyObject* transfer_entropy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"transfer_entropy", nullptr, kEntropyParams};
    return call<Vector, Vector, Size, Size>(sig, args, nargs, kwnames, valmora::transfer_entropy);
}

}  // namespace valmora::py
