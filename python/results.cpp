#include "results.hpp"

#include <algorithm>

#include "pyref.hpp"
#include "stop.hpp"

namespace valmora::py {
namespace {

// A tuple of the given new references, taking ownership of all; null if any is null.
PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    PyRef tuple;
    bool complete = true;
    for (PyObject* item : items) complete &= item != nullptr;
    if (complete) tuple.reset(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        if (tuple) PyTuple_SetItem(tuple.get(), i++, item);
        else Py_XDECREF(item);
    }
    return tuple.release();
}

}  // namespace

PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

PyObject* to_python(const std::vector<double>& values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    StopCounter<65536> polled;
    for (std::size_t i = 0; i < values.size(); ++i) {
        polled.step();
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
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

PyObject* to_python(const std::pair<Matrix, double>& shrunk) {
    return tuple_of({to_python(shrunk.first), to_python(shrunk.second)});
}

PyObject* to_python(const std::array<double, 4>& costs) {
    return tuple_of({to_python(costs[0]), to_python(costs[1]), to_python(costs[2]), to_python(costs[3])});
}

PyObject* to_python(const FactorRisk& risk) {
    return tuple_of({to_python(risk.total_variance), to_python(risk.factor_variance),
                     to_python(risk.specific_variance), to_python(risk.contributions)});
}

PyObject* to_python(const Trajectory& path) { return tuple_of({to_python(path.holdings), to_python(path.trades)}); }

PyObject* to_python(const CointegrationSpread& fit) {
    return tuple_of({to_python(fit.beta), to_python(fit.alpha), to_python(fit.spread)});
}

PyObject* raise(const ValidationError& error) {
    PyErr_SetString(PyExc_ValueError, error.message);
    return nullptr;
}

}  // namespace valmora::py
