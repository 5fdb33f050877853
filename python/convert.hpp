// Converters from Python objects to core values, and result builders back to Python.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "matrix.hpp"
#include "pyref.hpp"
#include "result.hpp"

namespace valmora::py {

// Each converter yields the value, or fails with the exception the conversion-error rule
// makes of the underlying failure (an exact TypeError is re-raised naming `param`).
bool to_double(PyObject* obj, const char* param, double& out);
bool to_size(PyObject* obj, const char* param, std::uint64_t& out);
bool to_vector(PyObject* obj, const char* param, std::vector<double>& out);
bool to_matrix(PyObject* obj, const char* param, Matrix& out);
bool to_text(PyObject* obj, const char* param, std::string& out);

// Whether converting `obj` as a double, size, vector or matrix runs no Python code and makes no
// Python object: then nothing can change a matrix an earlier argument lent us in place.
bool is_plain_number(PyObject* obj);
bool is_plain_vector(PyObject* obj);
bool is_plain_rows(PyObject* obj);

// TypeError "'{type}' object is not an instance of '{expected}'" ("'None' is not ..." for None).
void raise_not_instance(PyObject* obj, PyObject* expected_type);
// The same message naming `type` itself, with no special case for None.
void raise_type_not_instance(PyObject* type, PyObject* expected_type);

// New references, or null with an exception set.
PyObject* to_python(double value);
PyObject* to_python(const std::vector<double>& values);
PyObject* to_python(const Matrix& m);
PyObject* to_python(const std::pair<Matrix, double>& shrunk);
PyObject* to_python(const std::array<double, 4>& values);

// A tuple of the given new references, taking ownership of all; null if any is null.
PyObject* tuple_of(std::initializer_list<PyObject*> items);

// ValueError carrying the message as its only argument; always returns null.
PyObject* raise(const ValidationError& error);

}  // namespace valmora::py
