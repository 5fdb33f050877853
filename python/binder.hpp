// Binding of positional and keyword arguments to declared parameter names.
#pragma once

#include <Python.h>

#include <span>

namespace valmora::py {

// Every parameter of this module is positional-or-keyword and required.
struct Signature {
    const char* name;
    const char* class_name;  // null for module functions
    std::span<const char* const> params;
};

// Fill one borrowed slot per parameter, or raise TypeError naming the callable.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);
bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace valmora::py
