// Converters from Python objects to the values the core takes.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "buffer.hpp"
#include "pyref.hpp"

namespace valmora::py {

// Each converter yields the value, or fails with the exception the conversion-error rule
// makes of the underlying failure (an exact TypeError is re-raised naming `param`).
bool to_double(PyObject* obj, const char* param, double& out);
bool to_size(PyObject* obj, const char* param, std::uint64_t& out);
bool to_vector(PyObject* obj, const char* param, VectorArg& out);
bool to_matrix(PyObject* obj, const char* param, MatrixArg& out);
bool to_text(PyObject* obj, const char* param, std::string& out);

// Whether converting `obj` as a double, size, vector or matrix runs no Python code and makes no
// Python object: then nothing can change memory an earlier argument lent us. The tests
// themselves run no Python code.
inline bool is_plain_number(PyObject* obj) { return PyFloat_Check(obj) || PyLong_CheckExact(obj) || PyBool_Check(obj); }
// Any int, subclasses included, is read from its digits without __index__.
inline bool is_plain_size(PyObject* obj) { return PyLong_Check(obj); }
// is_plain_vector of an exact list or tuple of exact floats reads their values on its way, and
// the to_vector of the same object that must follow it, with no Python code run in between,
// takes them; so do is_plain_rows and to_matrix for rows of such lists or tuples, all of one
// length. Any other conversion forgets them.
bool is_plain_vector(PyObject* obj);
bool is_plain_rows(PyObject* obj);

// Finds collections.abc.Sequence, named in conversion messages; done when the module is executed.
bool load_sequence_type();

// TypeError "'{type}' object is not an instance of '{expected}'" ("'None' is not ..." for None).
void raise_not_instance(PyObject* obj, PyObject* expected_type);
// The same message naming `type` itself, with no special case for None.
void raise_type_not_instance(PyObject* type, PyObject* expected_type);

}  // namespace valmora::py
