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
struct Real {
    using type = double;
    static bool convert(PyObject* o, const char* name, type& out) { return to_double(o, name, out); }
};
struct Size {
    using type = std::uint64_t;
    static bool convert(PyObject* o, const char* name, type& out) { return to_size(o, name, out); }
};
struct Vector {
    using type = std::vector<double>;
    static bool convert(PyObject* o, const char* name, type& out) { return to_vector(o, name, out); }
};
struct Rows {
    using type = Matrix;
    static bool convert(PyObject* o, const char* name, type& out) { return to_matrix(o, name, out); }
};

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
            return (Kinds::convert(slots[I], sig.params[I], std::get<I>(values)) && ...);
        }(std::index_sequence_for<Kinds...>{});
        if (!converted) return nullptr;
        auto result = std::apply(core, std::move(values));
        if (!result.ok()) return raise(result.error());
        return build(result.value());
    });
}

}  // namespace valmora::py
