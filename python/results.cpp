#include "results.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

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

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Fills a flat list in order. An entry with the bits of the one before it shares that entry's
// float, as mirrored entries of a square result do: a schedule of equal slices then costs one
// float, not one per slice. NaN is never shared, so that a list comparison, which takes an object
// as equal to itself, sees what it saw before.
class FlatItems {
public:
    explicit FlatItems(PyObject* list) : list_(list) {}

    bool put(std::size_t i, double value) {
        PyObject* item;
        if (last_ != nullptr && same_bits(value, last_value_) && value == value) {
            item = Py_NewRef(last_);
        } else if ((item = PyFloat_FromDouble(value)) == nullptr) {
            return false;
        }
        // The list holds the reference we keep borrowing, so it lives as long as the list.
        PyList_SetItem(list_, static_cast<Py_ssize_t>(i), item);
        last_ = item;
        last_value_ = value;
        return true;
    }

private:
    PyObject* list_;
    PyObject* last_ = nullptr;
    double last_value_ = 0.0;
};

}  // namespace

PyObject* to_python(const std::vector<double>& values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    FlatItems items(list.get());
    bool made = true;
    in_runs(
        values.size(),
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end && made; ++i) made = items.put(i, values[i]);
        },
        std::size_t{1} << 16);
    return made ? list.release() : nullptr;
}

PyObject* computed_list(std::size_t size, void (*compute)(const void*, std::size_t, std::span<double>),
                        const void* series) {
    // Making the list is the one allocation here that may start a collection, whose finalizers
    // are Python code; none may run before the last value is read.
    // A size past the largest list is as much memory as cannot be had.
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    const int collecting = PyGC_Disable();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(size)));
    if (collecting) PyGC_Enable();
    if (!list) return nullptr;
    constexpr std::size_t kStretch = 2048;
    double stretch[kStretch];
    FlatItems items(list.get());
    for (std::size_t start = 0; start < size; start += kStretch) {
        const std::size_t count = std::min(kStretch, size - start);
        poll_stop();
        compute(series, start, {stretch, count});
        for (std::size_t i = 0; i < count; ++i) {
            if (!items.put(start + i, stretch[i])) return nullptr;
        }
    }
    return list.release();
}

// Rows and columns of the blocks a square result is built in: both lists an entry and its mirror
// go to stay in cache.
constexpr std::size_t kListBlock = 64;

// Every matrix the core returns is square: p x p for data of p columns, n x n for a square
// argument. Mirrored entries (j, i) that carry the bits of (i, j) share one float between the
// two, which halves the floats a covariance matrix costs. NaN is never shared, so that a list
// comparison, which takes an object as equal to itself, sees what it saw before.
PyObject* to_python(const Matrix& m) {
    const std::size_t p = m.rows();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(p)));
    if (!list) return nullptr;
    std::vector<PyObject*> rows(p);
    {
        // The row lists hold empty slots until the floats are in; no collection, whose finalizers
        // could reach them, runs meanwhile. Floats start none.
        const int collecting = PyGC_Disable();
        for (std::size_t i = 0; i < p && list; ++i) {
            rows[i] = PyList_New(static_cast<Py_ssize_t>(p));
            if (rows[i] == nullptr) {
                list.reset();
                break;
            }
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), rows[i]);
        }
        if (collecting) PyGC_Enable();
        if (!list) return nullptr;
    }
    const double* v = m.data();
    auto put = [&](std::size_t i, std::size_t j, PyObject* item) {
        PyList_SetItem(rows[i], static_cast<Py_ssize_t>(j), item);
    };
    for (std::size_t i0 = 0; i0 < p; i0 += kListBlock) {
        poll_stop();
        const std::size_t i1 = std::min(p, i0 + kListBlock);
        for (std::size_t j0 = i0; j0 < p; j0 += kListBlock) {
            const std::size_t j1 = std::min(p, j0 + kListBlock);
            for (std::size_t i = i0; i < i1; ++i) {
                for (std::size_t j = std::max(i, j0); j < j1; ++j) {
                    const double upper = v[i * p + j];
                    PyObject* item = PyFloat_FromDouble(upper);
                    if (item == nullptr) return nullptr;
                    put(i, j, item);
                    if (j == i) continue;
                    const double lower = v[j * p + i];
                    if (same_bits(upper, lower) && upper == upper) {
                        Py_IncRef(item);
                    } else if ((item = PyFloat_FromDouble(lower)) == nullptr) {
                        return nullptr;
                    }
                    put(j, i, item);
                }
            }
        }
    }
    return list.release();
}

PyObject* to_python(const std::pair<Matrix, double>& shrunk) { return tuple_of(shrunk.first, shrunk.second); }

PyObject* to_python(const std::array<double, 4>& costs) {
    // Floats start no collection, so the tuple may hold empty slots while they are made.
    PyRef tuple(PyTuple_New(4));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* item = PyFloat_FromDouble(costs[static_cast<std::size_t>(i)]);
        if (item == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), i, item);
    }
    return tuple.release();
}

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
