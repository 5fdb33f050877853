// The description of a module function and the generic body every one of them runs: bind,
// convert each parameter in order, call the core routine, build the result or raise its
// ValidationError.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cxxabi.h>
#include <new>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "binder.hpp"
#include "convert.hpp"
#include "frames.hpp"
#include "results.hpp"
#include "stop.hpp"

namespace valmora::py {

// Parameter kinds: the parameter's name, the value it converts to, its converter, and whether
// an object converts without running Python code.
struct Real {
    const char* name;
    using type = double;
    static bool convert(PyObject* o, const char* param, type& out) { return to_double(o, param, out); }
    static bool plain(PyObject* o) { return is_plain_number(o); }
};
struct Size {
    const char* name;
    using type = std::uint64_t;
    static bool convert(PyObject* o, const char* param, type& out) { return to_size(o, param, out); }
    static bool plain(PyObject* o) { return is_plain_size(o); }
};
struct Vector {
    const char* name;
    using type = VectorArg;
    static bool convert(PyObject* o, const char* param, type& out) { return to_vector(o, param, out); }
    static bool plain(PyObject* o) { return is_plain_vector(o); }
};
struct Rows {
    const char* name;
    using type = MatrixArg;
    static bool convert(PyObject* o, const char* param, type& out) { return to_matrix(o, param, out); }
    static bool plain(PyObject* o) { return is_plain_rows(o); }
};

// One module function: its Python name, the core routine it runs and its parameters in order.
// The result is built by the `to_python` overload for the routine's value type.
template <class Core, class... Kinds>
struct Function {
    constexpr Function(const char* function_name, Core routine, Kinds... kinds)
        : name(function_name), core(routine), params{kinds.name...} {}
    const char* name;
    Core core;
    std::array<const char*, sizeof...(Kinds)> params;
};
template <class Core, class... Kinds>
Function(const char*, Core, Kinds...) -> Function<Core, Kinds...>;

// C++ exceptions never cross into the interpreter: allocation failures become MemoryError. The
// forced unwind by which the interpreter ends a daemon thread at exit passes through untouched.
template <class Body>
PyObject* guarded(Body body) {
    Entered entered;
    PyObject* result = nullptr;
    try {
        result = body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        result = PyErr_NoMemory();
    } catch (const std::length_error&) {
        result = PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "valmora: internal error");
    }
    entered.leave();
    return result;
}

// Whatever may run Python code before any argument is converted: the look-up of the array types.
bool prepare_call();

template <class T>
bool is_lent(const T& value) {
    if constexpr (requires { value.borrowed(); }) return value.borrowed();
    else return false;
}
template <class T>
void own(T& value) {
    if constexpr (requires { value.own(); }) value.own();
}

// Memory lent by an earlier argument is read when the core runs. Converting a later argument
// that can run Python code (a __float__, an iterator, another thread taking the interpreter
// meanwhile) could change or free that memory, so before such a conversion it is copied.
template <class... Values>
void own_lent_before(PyObject* next, bool (*plain)(PyObject*), std::tuple<Values...>& values) {
    const bool lent = std::apply([](const auto&... v) { return (is_lent(v) || ...); }, values);
    if (lent && !plain(next)) std::apply([](auto&... v) { (own(v), ...); }, values);
}

template <class Core, class... Kinds>
[[gnu::always_inline]] inline PyObject* attempt(const Function<Core, Kinds...>& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature sig{f.name, nullptr, f.params};
    PyObject* slots[sizeof...(Kinds)] = {};
    if (!bind_fastcall(sig, args, nargs, kwnames, slots)) return nullptr;
    // Only an array, or a sequence that may hold arrays, needs the array types.
    bool numbers_only = true;
    for (PyObject* slot : slots) numbers_only = numbers_only && (PyFloat_CheckExact(slot) || PyLong_CheckExact(slot));
    LabelCheck labels;
    if (!numbers_only && !(prepare_call() && labels.read(f.name, f.params.data(), slots, sizeof...(Kinds)))) return nullptr;
    std::tuple<typename Kinds::type...> values;
    const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return ((own_lent_before(slots[I], &Kinds::plain, values),
                 Kinds::convert(slots[I], f.params[I], std::get<I>(values))) &&
                ...);
    }(std::index_sequence_for<Kinds...>{});
    if (!converted || !labels.agree()) return nullptr;
    auto result = std::apply(f.core, std::move(values));
    if (!result.ok()) return raise(result.error());
    return to_python(result.value());
}

// Ctrl-C: long loops, ours and the core's, poll for a SIGINT to the main thread without running
// Python code (the probe is installed when the module is executed). A call so stopped has released everything it held, lent memory included, before
// the signal's handlers run; if they return normally (a program that ignores SIGINT), the call
// starts over from its arguments.
bool interrupted();
// Puts the signal back and runs the handlers: true when they returned, false with their exception.
bool resume_after_interrupt();

template <class Core, class... Kinds>
PyObject* call(const Function<Core, Kinds...>& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        for (;;) {
            try {
                return attempt(f, args, nargs, kwnames);
            } catch (const Stopped&) {
                if (!resume_after_interrupt()) return nullptr;
            }
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
