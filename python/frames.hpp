// Labelled arguments (pandas and polars frames and series, and anything shaped like them):
// their labels, the kinds of their columns, and pandas' missing value. Frames are read by
// position, as their `__array__` gives them; what is read here only refuses what position
// alone would get silently wrong.
#pragma once

#include <Python.h>

#include <cstddef>

#include "pyref.hpp"

namespace valmora::py {

// The labels a parameter carries that must agree with other parameters' of the same call: the
// group of its index (a series' labels, a matrix's rows) and of a matrix's columns; 0 for none.
// Axes of one group are read in step, so they must carry the same labels.
struct Axes {
    int index = 0;
    int columns = 0;
};

// The labels of the arguments that `function` pairs (a weights Series and the rows of a
// loadings frame, the index and columns of a correlation frame, two series), read and compared
// before any argument is converted, so before anything is lent: labels are Python objects, and
// comparing them runs Python code. A disagreement is kept and raised by `agree` once every
// argument has converted, so conversion errors keep their order.
class LabelCheck {
public:
    // False, with the exception set, when reading them raised anything but the failures that
    // only mean "no labels here" (a missing attribute, labels that cannot be compared).
    bool read(const char* const* params, const Axes* axes, PyObject* const* slots, std::size_t count);
    // False with ValueError "argument 'a' index and argument 'b' columns: labels differ at
    // position i: x != y" when two labelled arguments disagree, or "argument 'a' index: label x
    // appears more than once" when compared labels repeat; each message then says how to pair
    // by position on purpose. pandas' default index counts as labels against another pandas
    // argument's, and as none otherwise.
    bool agree();

private:
    PyRef message_;
};

// For an object offering `__array__`: TypeError "column 'date' holds dates, not numbers" when
// one of its columns holds dates, times, durations, strings, bytes, categories or nested values,
// which `__array__` would turn into numbers or into objects that are not numbers. The kinds come
// from the column types alone: numpy-style `dtype.kind` (pandas, xarray; pandas' pyarrow-backed
// dtypes through their Arrow type) or an Arrow C schema (polars' `schema`, pyarrow), never from
// the data. A missing attribute says nothing; any other exception ends the call.
bool numeric_columns(PyObject* obj);

// Finds pandas' Index type and missing value, pd.NA, if pandas is loaded. Called before anything
// is lent.
bool find_pandas();
// Whether `obj` is pd.NA, read as NaN; never runs Python code.
bool is_missing_value(PyObject* obj);

}  // namespace valmora::py
