// The generic body of every module function: bind, convert each parameter in order,
// call the core routine, build the result or raise its ValidationError.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "binder.hpp"
#include "convert.hpp"

namespace valmora::py {

// Parameter kinds: the C++ type each converts to, and its converter.
// Parameter kinds: the C++ type each converts to, its converter, and whether an object converts
// without running Python code.
struct Real {
    using type = double;
    static bool convert(PyObject* o, const char* name, type& out) { return to_double(o, name, out); }
    static bool plain(PyObject* o) { return is_plain_number(o); }
};
struct Size {
    using type = std::uint64_t;
    static bool convert(PyObject* o, const char* name, type& out) { return to_size(o, name, out); }
    static bool plain(PyObject* o) { return PyLong_CheckExact(o) || PyBool_Check(o); }
};
struct Vector {
    using type = std::vector<double>;
    static bool convert(PyObject* o, const char* name, type& out) { return to_vector(o, name, out); }
    static bool plain(PyObject* o) { return is_plain_vector(o); }
};
struct Rows {
    using type = Matrix;
    static bool convert(PyObject* o, const char* name, type& out) { return to_matrix(o, name, out); }
    static bool plain(PyObject* o) { return is_plain_rows(o); }
};

inline bool is_borrowed(const Matrix& m) { return m.is_borrowed(); }
inline void own(Matrix& m) { m.own(); }
template <class T>
bool is_borrowed(const T&) { return false; }
template <class T>
void own(T&) {}

// A matrix read in place from an array borrows the caller's memory until the core has run. Code
// run by a later argument's conversion (a __float__, an iterator, another thread taking the lock
// meanwhile) could change or free that memory, so before such a conversion the borrowed
// matrices converted so far are copied.
template <class... Values>
void own_borrowed_before(PyObject* next, bool (*plain)(PyObject*), std::tuple<Values...>& values) {
    bool borrowed = false;
    std::apply([&](auto&... v) { ((borrowed = borrowed || is_borrowed(v)), ...); }, values);
    if (borrowed && !plain(next)) std::apply([](auto&... v) { (own(v), ...); }, values);
}

struct BuildDefault {
    template <class T>
    PyObject* operator()(const T& value) const {
        return to_python(value);
    }
};

// C++ exceptions never cross into the interpreter: allocation failures become MemoryError.
template <class Body>
PyObject* guarded(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "valmora: internal error");
        return nullptr;
    }
}

template <class... Kinds, class Core, class Build = BuildDefault>
PyObject* call(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Core core,
               Build build = {}) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[sizeof...(Kinds)] = {};
        if (!bind_fastcall(sig, args, nargs, kwnames, slots)) return nullptr;
        std::tuple<typename Kinds::type...> values;
        const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return ((own_borrowed_before(slots[I], &Kinds::plain, values),
                     Kinds::convert(slots[I], sig.params[I], std::get<I>(values))) && ...);
        }(std::index_sequence_for<Kinds...>{});
        if (!converted) return nullptr;
        auto result = std::apply(core, std::move(values));
        if (!result.ok()) return raise(result.error());
        return build(result.value());
    });
}

}  // namespace valmora::py
