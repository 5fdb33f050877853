// The description of a module function and the one straight body every one of them runs: bind,
// convert each parameter in order, call the core routine, build the result or raise its
// ValidationError.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#if defined(__GLIBCXX__)
#include <cxxabi.h>  // abi::__forced_unwind, libstdc++'s alone
#endif
#include <new>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "binder.hpp"
#include "convert.hpp"
#include "pyref.hpp"
#include "results.hpp"
#include "stop.hpp"

namespace valmora::py {

// Parameter kinds: the parameter's name (and its axes' label groups), the value it converts to and
// its converter, told the argument's place; `state` is null in a call that reads no array.
// An exact float or int, the common argument, is read here: no error to look for in the first,
// none but a size out of range in the second.
struct Real {
    const char* name;
    using type = double;
    static constexpr bool reads_arrays = false;
    bool convert(PyObject* o, type& out, CallState* state, std::size_t) const {
        if (!PyFloat_CheckExact(o)) return to_double(o, name, out, state);
        out = PyFloat_AsDouble(o);
        return true;
    }
};
struct Size {
    const char* name;
    using type = std::uint64_t;
    static constexpr bool reads_arrays = false;
    bool convert(PyObject* o, type& out, CallState* state, std::size_t) const {
        if (!PyLong_CheckExact(o)) return to_size(o, name, out, state);
        out = PyLong_AsUnsignedLongLong(o);
        return out != ~std::uint64_t{0} || !PyErr_Occurred() || conversion_failed(name);
    }
};
// A vector or a matrix: labelled arguments may carry labels on their axes.
template <class Value, bool (*to_value)(PyObject*, const Param&, Value&, CallState&)>
struct Sequence {
    const char* name;
    Axes axes{};
    using type = Value;
    static constexpr bool reads_arrays = true;
    bool convert(PyObject* o, type& out, CallState* state, std::size_t argument) const {
        return to_value(o, {name, argument, axes}, out, *state);
    }
};
using Vector = Sequence<VectorArg, to_vector>;
using Rows = Sequence<MatrixArg, to_matrix>;

// One module function: its Python name, the core routine it runs and its parameters in order.
// The result is built by the `to_python` overload for the routine's value type.
template <class Core, class... Kinds>
struct Function {
    constexpr Function(const char* function_name, Core routine, Kinds... parameters)
        : name(function_name), core(routine), params{parameters.name...}, kinds(parameters...) {}
    const char* name;
    Core core;
    std::array<const char*, sizeof...(Kinds)> params;
    std::tuple<Kinds...> kinds;
};
template <class Core, class... Kinds>
Function(const char*, Core, Kinds...) -> Function<Core, Kinds...>;

// C++ exceptions never cross into the interpreter: allocation failures become MemoryError, and
// a stop (its exception set where it was asked for) ends the call. The forced unwind by which
// the interpreter ends a daemon thread at exit passes through untouched.
template <class Body>
PyObject* guarded(Body body) {
    note_entry();
    try {
        return body();
    }
#if defined(__GLIBCXX__)
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (const Stopped&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "valmora: internal error");
        return nullptr;
    }
}

// Bind; convert every argument in parameter order, each read at its turn (a lent array is
// copied before a later conversion runs Python code); run the core, whose polls answer signal
// handlers in place; build the result or raise the core's ValidationError.
template <class Core, class... Kinds>
PyObject* call(const Function<Core, Kinds...>& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        constexpr std::size_t count = sizeof...(Kinds);
        PyObject* bound[count] = {};
        PyObject* const* slots = args;  // every argument by position, the common call
        if (kwnames != nullptr || nargs != static_cast<Py_ssize_t>(count)) {
            if (!bind_fastcall({f.name, nullptr, f.params}, args, nargs, kwnames, bound)) return nullptr;
            slots = bound;
        }
        // Outlives the call's state: giving back a lent array may run code whose polls read that state.
        std::tuple<typename Kinds::type...> values;
        auto run = [&](CallState* state) -> PyObject* {
            const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
                return (std::get<I>(f.kinds).convert(slots[I], std::get<I>(values), state, I) && ...);
            }
            (std::index_sequence_for<Kinds...>{});
            if (!converted || (state != nullptr && !state->labels.agree())) return nullptr;
            auto result = std::apply(f.core, std::as_const(values));
            if (!result.ok()) return raise(result.error());
            return to_python(result.value());
        };
        if constexpr ((Kinds::reads_arrays || ...)) {
            CallState state;
            return run(&state);
        } else {
            return run(nullptr);
        }
    });
}

// The C entry point of the function described by `F`.
template <const auto& F>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(F, args, nargs, kwnames);
}

// "name(p1, p2)\n--\n\n": the documentation string, which holds only the text signature.
template <const auto& F>
constexpr auto text_signature() {
    constexpr auto length = [](const char* s) {
        std::size_t n = 0;
        while (s[n] != '\0') ++n;
        return n;
    };
    constexpr std::size_t size = [&] {
        std::size_t n = length(F.name) + 2 + 5;
        for (std::size_t i = 0; i < F.params.size(); ++i) n += length(F.params[i]) + (i > 0 ? 2 : 0);
        return n;
    }();
    std::array<char, size + 1> text{};
    std::size_t at = 0;
    auto put = [&](const char* s) {
        while (*s != '\0') text[at++] = *s++;
    };
    put(F.name);
    put("(");
    for (std::size_t i = 0; i < F.params.size(); ++i) {
        if (i > 0) put(", ");
        put(F.params[i]);
    }
    put(")\n--\n\n");
    return text;
}
template <const auto& F>
inline constexpr auto kTextSignature = text_signature<F>();

template <const auto& F>
constexpr PyMethodDef method() {
    return {F.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<F>)),
            METH_FASTCALL | METH_KEYWORDS, kTextSignature<F>.data()};
}

}  // namespace valmora::py
