#include "results.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "pyref.hpp"
#include "stop.hpp"

namespace valmora::py {
namespace {

// Values per stretch of a long result: each stretch is preceded by a poll for a stop request.
constexpr std::size_t kStretch = 2048;

// A tuple of the parts' results in order. Each is owned as soon as it is made, so a stop or a
// failure while a later one is built releases the earlier ones.
template <class... Parts>
PyObject* tuple_of(const Parts&... parts) {
    PyRef items[] = {PyRef(to_python(parts))...};
    constexpr auto n = static_cast<Py_ssize_t>(sizeof...(Parts));
    if (std::ranges::any_of(items, [](const PyRef& item) { return !item; })) return nullptr;
    PyRef tuple(PyTuple_New(n));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SetItem(tuple.get(), i, items[i].release());
    return tuple.release();
}

// A NaN is never shared, so that a list comparison, which takes an object as equal to itself,
// sees what it saw before.
constexpr std::uint64_t kMagnitude = ~std::uint64_t{0} >> 1, kInfinity = 0x7ff0000000000000;

// Fills a list's slots; an entry with the bits of the one before it shares that entry's float.
class ListFill {
public:
    explicit ListFill(PyObject* list) : list_(list) {}

    bool put(std::size_t at, const double* values, std::size_t count) {
        PyObject* last = last_;
        std::uint64_t last_bits = last_bits_;
        for (std::size_t i = 0; i < count; ++i) {
            const auto bits = std::bit_cast<std::uint64_t>(values[i]);
            PyObject* item = last;
            if (bits != last_bits || (bits & kMagnitude) > kInfinity) [[likely]] {
                if ((item = PyFloat_FromDouble(values[i])) == nullptr) return false;
                last = item;  // borrowed: the list holds it for as long as the list lives
                last_bits = bits;
            } else {
                Py_IncRef(item);
            }
            PyList_SetItem(list_, static_cast<Py_ssize_t>(at + i), item);
        }
        last_ = last;
        last_bits_ = last_bits;
        return true;
    }

private:
    PyObject* list_;
    PyObject* last_ = nullptr;
    std::uint64_t last_bits_ = ~std::uint64_t{0};  // a NaN's: matches nothing that is shared
};

// A list of `size` floats, `stretch(start, count, buffer)` giving each stretch's values. Polls
// between stretches, and those of a stretch that computes its values, run signal handlers, which
// may start a collection: until its slots are filled, the list is kept from the collector.
template <class Stretch>
PyObject* build_list(std::size_t size, Stretch stretch) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) return nullptr;
    double buffer[kStretch];
    ListFill fill(list.get());
    PyObject_GC_UnTrack(list.get());
    for (std::size_t start = 0; start < size; start += kStretch) {
        if (start > 0) poll_stop();
        const std::size_t count = std::min(kStretch, size - start);
        if (!fill.put(start, stretch(start, count, buffer), count)) return nullptr;
    }
    PyObject_GC_Track(list.get());
    return list.release();
}

}  // namespace

PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

PyObject* to_python(std::span<const double> values) {
    return build_list(values.size(), [&](std::size_t start, std::size_t, double*) { return values.data() + start; });
}

PyObject* computed_list(std::size_t size, void (*compute)(const void*, std::size_t, std::span<double>),
                        const void* series) {
    return build_list(size, [&](std::size_t start, std::size_t count, double* buffer) {
        compute(series, start, {buffer, count});
        return static_cast<const double*>(buffer);
    });
}

PyObject* to_python(const EqualSlices& slices) {
    // One float in every slot, as [x] * n makes it; a long schedule in one step, where the
    // interpreter fills the slots and counts the references at once. A NaN is made once per slot.
    constexpr std::uint64_t kRepeatedFrom = 64;
    const double slice = slices.slice();
    if (slice != slice) return computed(slices);
    if (slices.size() > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    const auto n = static_cast<Py_ssize_t>(slices.size());
    PyRef list(PyList_New(n < static_cast<Py_ssize_t>(kRepeatedFrom) ? n : 1));
    PyObject* item = list ? PyFloat_FromDouble(slice) : nullptr;
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), 0, item);
    if (n >= static_cast<Py_ssize_t>(kRepeatedFrom)) return PySequence_Repeat(list.get(), n);
    for (Py_ssize_t i = 1; i < n; ++i) PyList_SetItem(list.get(), i, Py_NewRef(item));
    return list.release();
}

// Rows and columns of the blocks a square result is built in: both lists an entry and its mirror
// go to stay in cache.
constexpr std::size_t kListBlock = 64;

// Every matrix the core returns is square: p x p for data of p columns, n x n for a square
// argument. Mirrored entries (j, i) that carry the bits of (i, j) share one float between the
// two, which halves the floats a covariance matrix costs. The lists are kept from the collector
// until every slot is filled, as a long list is.
PyObject* to_python(const Matrix& m) {
    const std::size_t p = m.rows();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(p)));
    if (!list) return nullptr;
    PyObject_GC_UnTrack(list.get());
    std::vector<PyObject*> rows(p);
    for (std::size_t i = 0; i < p; ++i) {
        if ((rows[i] = PyList_New(static_cast<Py_ssize_t>(p))) == nullptr) return nullptr;
        PyObject_GC_UnTrack(rows[i]);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), rows[i]);
    }
    const double* v = m.data();
    for (std::size_t i0 = 0; i0 < p; i0 += kListBlock) {
        if (i0 > 0) poll_stop();
        const std::size_t i1 = std::min(p, i0 + kListBlock);
        for (std::size_t j0 = i0; j0 < p; j0 += kListBlock) {
            const std::size_t j1 = std::min(p, j0 + kListBlock);
            for (std::size_t i = i0; i < i1; ++i) {
                for (std::size_t j = std::max(i, j0); j < j1; ++j) {
                    const double upper = v[i * p + j];
                    PyObject* item = PyFloat_FromDouble(upper);
                    if (item == nullptr) return nullptr;
                    PyList_SetItem(rows[i], static_cast<Py_ssize_t>(j), item);
                    if (j == i) continue;
                    const double lower = v[j * p + i];
                    const auto bits = std::bit_cast<std::uint64_t>(upper);
                    if (bits == std::bit_cast<std::uint64_t>(lower) && (bits & kMagnitude) <= kInfinity) {
                        Py_IncRef(item);
                    } else if ((item = PyFloat_FromDouble(lower)) == nullptr) {
                        return nullptr;
                    }
                    PyList_SetItem(rows[j], static_cast<Py_ssize_t>(i), item);
                }
            }
        }
    }
    for (PyObject* row : rows) PyObject_GC_Track(row);
    PyObject_GC_Track(list.get());
    return list.release();
}

PyObject* to_python(const std::pair<Matrix, double>& shrunk) { return tuple_of(shrunk.first, shrunk.second); }

PyObject* to_python(const std::array<double, 4>& costs) {
    // Floats start no collection, so the tuple may hold empty slots while they are made.
    PyRef tuple(PyTuple_New(4));
    for (Py_ssize_t i = 0; tuple && i < 4; ++i) {
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
