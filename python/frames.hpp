// Labelled arguments (pandas and polars frames and series, and anything shaped like them):
// their labels, the kinds of their columns, and pandas' missing value. Frames are read by
// position, as their `__array__` gives them; what is read here only refuses what position
// alone would get silently wrong.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "pyref.hpp"

namespace valmora::py {

// The labels a parameter carries that must agree with other parameters' of the same call: the
// group of its index (a series' labels, a matrix's rows) and of a matrix's columns; 0 for none.
// Axes of one group are read in step, so they must carry the same labels.
struct Axes {
    int index = 0;
    int columns = 0;
};

// The labels of the arguments that a function pairs (a weights Series and the rows of a
// loadings frame, the index and columns of a correlation frame, two series), read at each
// argument's turn and compared with those of the earlier arguments of their group. A
// disagreement is kept and raised by `agree` once every argument has converted, so conversion
// errors keep their order.
class LabelCheck {
public:
    ~LabelCheck() noexcept(false);  // drops each label here, not in a container: it may run code

    // Reads the labels `obj`, argument `argument` of the call, carries on the axes of `param`.
    // False, with the exception set, when reading them raised anything but the failures that
    // only mean "no labels here" (a missing attribute, labels that cannot be compared).
    bool add(const char* param, std::size_t argument, Axes axes, PyObject* obj);
    // False with ValueError "argument 'a' index and argument 'b' columns: labels differ at position
    // i: x != y" or "argument 'a' index: label x appears more than once", each saying how to pair by
    // position on purpose. pandas' default index counts as labels against another pandas argument's.
    bool agree();

    enum class Axis { index, columns };
    struct Member {
        const char* param;
        Axis axis;
    };
    // One axis's labels as read. `positions` marks pandas' default index: it counts positions, yet
    // says its argument is read in its own order, which another pandas argument must follow.
    struct Labelled {
        Member member;
        std::size_t argument;
        PyRef labels;
        bool positions;
    };

private:
    std::vector<Labelled> seen_[3];  // by group; group 0 is no group
    bool checked_[3] = {};           // whether the group's first labels were checked for repeats
    PyRef message_;
};

// For an object that offers `__array__` (pandas and polars frames and series, xarray), argument
// `argument` of the call, its column kinds are checked (a column that is not numbers is refused
// by name), its labels read into `labels`, and `offered` made
// the array `__array__()` returns; `offered` stays empty for any other object. False with the
// exception set when one of these fails.
bool offered_array(PyObject* obj, const char* param, std::size_t argument, Axes axes, LabelCheck& labels,
                   PyRef& offered);

// Finds pandas' Index type and missing value, pd.NA, if pandas is loaded (may run Python code).
bool find_pandas();
// Whether `obj` is pd.NA, read as NaN; never runs Python code.
bool is_missing_value(PyObject* obj);

}  // namespace valmora::py
