// Python results built from the core's values: floats, lists of floats, lists of row lists,
// and tuples of these in member order. Each returns a new reference, or null with an exception.
#pragma once

#include <Python.h>

#include <array>
#include <initializer_list>
#include <utility>
#include <vector>

#include "execution.hpp"
#include "matrix.hpp"
#include "result.hpp"
#include "risk.hpp"
#include "timeseries.hpp"

namespace valmora::py {

PyObject* to_python(double value);
PyObject* to_python(const std::vector<double>& values);
PyObject* to_python(const Matrix& m);
// (matrix, intensity)
PyObject* to_python(const std::pair<Matrix, double>& shrunk);
// (spread, temporary, permanent, total)
PyObject* to_python(const std::array<double, 4>& costs);
// (total, factor, specific, [contributions])
PyObject* to_python(const FactorRisk& risk);
// (holdings, trades)
PyObject* to_python(const Trajectory& path);
// (beta, alpha, spread)
PyObject* to_python(const CointegrationSpread& fit);

// ValueError carrying the message as its only argument; always returns null.
PyObject* raise(const ValidationError& error);

}  // namespace valmora::py
