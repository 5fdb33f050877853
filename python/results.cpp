#include "results.hpp"

#include <algorithm>

#include "pyref.hpp"
#include "stop.hpp"

namespace valmora::py {
namespace {

// A tuple of the parts' results in order. Each is owned as soon as it is made, so a stop or a
// failure while a later one is built releases the earlier ones.
template <class... Parts>
PyObject* tuple_of(const Parts&... parts) {
    PyRef items[] = {PyRef(to_python(parts))...};
    for (const PyRef& item : items) {
        if (!item) return nullptr;
    }
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Parts))));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(sizeof...(Parts)); ++i) {
        PyTuple_SetItem(tuple.get(), i, items[i].release());
    }
    return tuple.release();
}

}  // namespace

PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

PyObject* to_python(const std::vector<double>& values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    bool made = true;
    in_runs(
        values.size(),
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end && made; ++i) {
                PyObject* item = PyFloat_FromDouble(values[i]);
                made = item != nullptr;
                if (made) PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
            }
        },
        std::size_t{1} << 16);
    return made ? list.release() : nullptr;
}

PyObject* computed_list(std::size_t size, void (*compute)(const void*, std::size_t, std::span<double>),
                        const void* series) {
    // Making the list is the one allocation here that may start a collection, whose finalizers
    // are Python code; none may run before the last value is read.
    const int collecting = PyGC_Disable();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(size)));
    if (collecting) PyGC_Enable();
    if (!list) return nullptr;
    constexpr std::size_t kStretch = 2048;
    double stretch[kStretch];
    for (std::size_t start = 0; start < size; start += kStretch) {
        const std::size_t count = std::min(kStretch, size - start);
        poll_stop();
        compute(series, start, {stretch, count});
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* item = PyFloat_FromDouble(stretch[i]);
            if (item == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(start + i), item);
        }
    }
    return list.release();
}

PyObject* to_python(const Matrix& m) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(m.rows())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < m.rows(); ++i) {
        poll_stop();
        auto row = m.row(i);
        PyObject* inner = PyList_New(static_cast<Py_ssize_t>(row.size()));
        if (inner == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), inner);
        for (std::size_t j = 0; j < row.size(); ++j) {
            PyObject* item = PyFloat_FromDouble(row[j]);
            if (item == nullptr) return nullptr;
            PyList_SetItem(inner, static_cast<Py_ssize_t>(j), item);
        }
    }
    return list.release();
}

PyObject* to_python(const std::pair<Matrix, double>& shrunk) { return tuple_of(shrunk.first, shrunk.second); }

PyObject* to_python(const std::array<double, 4>& costs) { return tuple_of(costs[0], costs[1], costs[2], costs[3]); }

PyObject* to_python(const FactorRisk& risk) {
    return tuple_of(risk.total_variance, risk.factor_variance, risk.specific_variance, risk.contributions);
}

PyObject* to_python(const Trajectory& path) { return tuple_of(path.holdings, path.trades); }

PyObject* to_python(const CointegrationSpread& fit) { return tuple_of(fit.beta, fit.alpha, fit.spread); }

PyObject* raise(const ValidationError& error) {
    PyErr_SetString(PyExc_ValueError, error.message);
    return nullptr;
}

}  // namespace valmora::py
