// Reading numeric arrays through the buffer protocol, at memory speed.
#pragma once

#include <Python.h>

#include <vector>

#include "matrix.hpp"

namespace valmora::py {

// When `obj` is an exact numpy.ndarray, array.array or memoryview holding a plain numeric format
// in exactly one dimension, append its values as doubles and return true. Otherwise return false
// with nothing appended and no exception set: the caller then converts item by item, which gives
// the same values for every buffer this accepts.
bool read_buffer_vector(PyObject* obj, std::vector<double>& out);

// The same for an exact numpy.ndarray of two dimensions, read as rows. A C-contiguous float64
// array is read in place: the matrix borrows its memory (see `Matrix::own`).
bool read_buffer_matrix(PyObject* obj, Matrix& out);

// Whether `obj` would be read through its buffer with `ndim` dimensions.
bool has_plain_buffer(PyObject* obj, int ndim);

}  // namespace valmora::py
