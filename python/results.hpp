// Python results built from the core's values: floats, lists of floats, lists of row lists,
// and tuples of these in member order. Each returns a new reference, or null with an exception.
#pragma once

#include <Python.h>

#include <array>
#include <concepts>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "execution.hpp"
#include "matrix.hpp"
#include "result.hpp"
#include "risk.hpp"
#include "cointegration.hpp"
#include "rolling_correlation.hpp"
#include "transfer_entropy.hpp"

namespace valmora::py {

PyObject* to_python(double value);
PyObject* to_python(std::span<const double> values);
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
// One float, repeated.
PyObject* to_python(const EqualSlices& slices);

// A list of `size` floats that `compute(series, start, out)` gives a stretch at a time: a long
// result is never held twice.
PyObject* computed_list(std::size_t size, void (*compute)(const void* series, std::size_t start, std::span<double> out),
                        const void* series);

template <class Series>
concept Computed = requires(const Series& s, std::span<double> out) {
    { s.size() } -> std::convertible_to<std::size_t>;
    s.compute(std::size_t{0}, out);
};

template <Computed Series>
PyObject* computed(const Series& series) {
    return computed_list(
        series.size(),
        [](const void* self, std::size_t start, std::span<double> out) {
            static_cast<const Series*>(self)->compute(start, out);
        },
        &series);
}
template <Computed Series>
PyObject* to_python(const Series& series) {
    return computed(series);
}

// ValueError carrying the message as its only argument; always returns null.
PyObject* raise(const ValidationError& error);

}  // namespace valmora::py
