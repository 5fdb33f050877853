// Wrappers of the execution-analytics routines.
#include "call.hpp"
#include "execution.hpp"
#include "functions.hpp"

namespace valmora::py {
namespace {

constexpr const char* kTwapParams[] = {"total_quantity", "periods"};
constexpr const char* kVwapParams[] = {"total_quantity", "volume_curve"};

}  // namespace

PyObject* twap_schedule(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"twap_schedule", nullptr, kTwapParams};
    return call<Real, Size>(sig, args, nargs, kwnames, valmora::twap_schedule);
}

PyObject* vwap_schedule(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"vwap_schedule", nullptr, kVwapParams};
    return call<Real, Vector>(sig, args, nargs, kwnames, valmora::vwap_schedule);
}

}  // namespace valmora::py
