// Wrappers of the execution-analytics routines.
#include "call.hpp"
#include "execution.hpp"
#include "functions.hpp"

namespace valmora::py {
namespace {

constexpr const char* kTwapParams[] = {"total_quantity", "periods"};
constexpr const char* kVwapParams[] = {"total_quantity", "volume_curve"};
constexpr const char* kImpactParams[] = {"quantity", "volatility",       "daily_volume",
                                         "spread",   "temporary_impact", "permanent_impact"};
constexpr const char* kTrajectoryParams[] = {"total_quantity", "periods", "risk_aversion"};

// (holdings, trades)
PyObject* build_trajectory(const Trajectory& path) {
    return tuple_of({to_python(path.holdings), to_python(path.trades)});
}

}  // namespace

PyObject* twap_schedule(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"twap_schedule", nullptr, kTwapParams};
    return call<Real, Size>(sig, args, nargs, kwnames, valmora::twap_schedule);
}

PyObject* vwap_schedule(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"vwap_schedule", nullptr, kVwapParams};
    return call<Real, Vector>(sig, args, nargs, kwnames, valmora::vwap_schedule);
}

PyObject* almgren_chriss_market_impact(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"almgren_chriss_market_impact", nullptr, kImpactParams};
    return call<Real, Real, Real, Real, Real, Real>(sig, args, nargs, kwnames, valmora::almgren_chriss_market_impact);
}

PyObject* optimal_execution_trajectory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"optimal_execution_trajectory", nullptr, kTrajectoryParams};
    return call<Real, Size, Real>(sig, args, nargs, kwnames, valmora::optimal_execution_trajectory,
                                  build_trajectory);
}

}  // namespace valmora::py
