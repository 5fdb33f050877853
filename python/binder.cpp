#include "binder.hpp"

#include <cstring>
#include <string>

namespace valmora::py {
namespace {

std::string full_name(const Signature& sig) {
    std::string s;
    if (sig.class_name != nullptr) {
        s += sig.class_name;
        s += '.';
    }
    s += sig.name;
    s += "()";
    return s;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", full_name(sig).c_str(),
                 static_cast<Py_ssize_t>(sig.params.size()), given, given == 1 ? "was" : "were");
    return false;
}

bool multiple_values(const Signature& sig, const char* param) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name(sig).c_str(), param);
    return false;
}

bool unexpected_keyword(const Signature& sig, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name(sig).c_str(), key);
    return false;
}

// Index of the parameter named `key`, or -1. A name without UTF-8 text matches nothing.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        const char* p = sig.params[i];
        if (std::strlen(p) == static_cast<std::size_t>(size) && std::memcmp(p, text, size) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

bool put_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** slots) {
    const Py_ssize_t i = find_param(sig, key);
    if (i < 0) return unexpected_keyword(sig, key);
    if (slots[i] != nullptr) return multiple_values(sig, sig.params[i]);
    slots[i] = value;
    return true;
}

bool check_missing(const Signature& sig, PyObject** slots) {
    std::size_t missing = 0;
    const std::size_t total = sig.params.size();
    for (std::size_t i = 0; i < total; ++i) missing += slots[i] == nullptr;
    if (missing == 0) return true;
    std::string names;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < total; ++i) {
        if (slots[i] != nullptr) continue;
        if (listed > 0) {
            if (missing == 2) names += " and ";
            else if (listed + 1 == missing) names += ", and ";
            else names += ", ";
        }
        names += '\'';
        names += sig.params[i];
        names += '\'';
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", full_name(sig).c_str(),
                 static_cast<Py_ssize_t>(missing), missing == 1 ? "argument" : "arguments", names.c_str());
    return false;
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const auto count = static_cast<Py_ssize_t>(sig.params.size());
    for (Py_ssize_t i = 0; i < nargs && i < count; ++i) slots[i] = args[i];
    if (nargs > count) return too_many_positional(sig, nargs);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!put_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], slots)) return false;
        }
    }
    return check_missing(sig, slots);
}

bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const auto count = static_cast<Py_ssize_t>(sig.params.size());
    const Py_ssize_t nargs = PyTuple_Size(args);
    for (Py_ssize_t i = 0; i < nargs && i < count; ++i) slots[i] = PyTuple_GetItem(args, i);
    if (nargs > count) return too_many_positional(sig, nargs);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!put_keyword(sig, key, value, slots)) return false;
        }
    }
    return check_missing(sig, slots);
}

}  // namespace valmora::py
