// The description of a module function and the generic body every one of them runs: bind,
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
#include "pyref.hpp"
#include "convert.hpp"
#include "frames.hpp"
#include "interrupts.hpp"
#include "results.hpp"
#include "stop.hpp"

namespace valmora::py {

// Parameter kinds: the parameter's name, the value it converts to, its converter, and whether
// an object converts without running Python code.
struct Real {
    const char* name;
    using type = double;
    static bool convert(PyObject* o, const char* param, type& out) {
        // An exact float always reads: no error to look for.
        if (PyFloat_CheckExact(o)) {
            out = PyFloat_AsDouble(o);
            return true;
        }
        return to_double(o, param, out);
    }
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
    Axes axes{};
    using type = VectorArg;
    static bool convert(PyObject* o, const char* param, type& out) { return to_vector(o, param, out); }
    static bool plain(PyObject* o) { return is_plain_vector(o); }
};
struct Rows {
    const char* name;
    Axes axes{};
    using type = MatrixArg;
    static bool convert(PyObject* o, const char* param, type& out) { return to_matrix(o, param, out); }
    static bool plain(PyObject* o) { return is_plain_rows(o); }
};

template <class Kind>
constexpr Axes axes_of(const Kind& kind) {
    if constexpr (requires { kind.axes; }) return kind.axes;
    else return {};
}

// One module function: its Python name, the core routine it runs and its parameters in order,
// with the label groups of their axes. The result is built by the `to_python` overload for the
// routine's value type.
template <class Core, class... Kinds>
struct Function {
    constexpr Function(const char* function_name, Core routine, Kinds... kinds)
        : name(function_name), core(routine), params{kinds.name...}, axes{axes_of(kinds)...} {}
    const char* name;
    Core core;
    std::array<const char*, sizeof...(Kinds)> params;
    std::array<Axes, sizeof...(Kinds)> axes;
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
    }
#if defined(__GLIBCXX__)
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (const std::bad_alloc&) {
        result = PyErr_NoMemory();
    } catch (const std::length_error&) {
        result = PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "valmora: internal error");
    }
    return result;
}

// Whatever may run Python code before any argument is converted: the look-up of the array types.
bool prepare_call();

// The labels of the arguments, read before anything is lent. Reading them runs Python code, so a
// stop there runs the handlers in place; false with their exception if they raise.
bool read_labels(LabelCheck& labels, const char* const* params, const Axes* axes, PyObject* const* slots,
                 std::size_t count);

template <class T>
bool is_lent(const T& value) {
    if constexpr (requires { value.borrowed(); }) return value.borrowed();
    else return false;
}
template <class T>
void own(T& value) {
    if constexpr (requires { value.own(); }) value.own();
}
template <class T>
void settle(T& value) {
    if constexpr (requires { value.settle(); }) value.settle();
}
template <class T>
void pause(T& value) {
    if constexpr (requires { value.pause(); }) value.pause();
}
template <class T>
PyRef take_exporter(T& value) {
    if constexpr (requires { value.take_exporter(); }) return value.take_exporter();
    else return PyRef();
}

// Memory lent by an earlier argument is read when the core runs. Converting a later argument
// that can run Python code (a __float__, an iterator, another thread taking the interpreter
// meanwhile) could change or free that memory, so before such a conversion it is copied. Every
// lent argument is copied before any lease is given back: a release can free the array a frame
// gave us and run Python code (a weakref callback, a __del__) that resizes another lent array.
template <class... Values>
void own_lent_before(bool plain, std::tuple<Values...>& values) {
    const bool lent = std::apply([](const auto&... v) { return (is_lent(v) || ...); }, values);
    if (!lent || plain) return;
    std::apply([](auto&... v) { (own(v), ...); }, values);
    std::apply([](auto&... v) { (settle(v), ...); }, values);
}

// The arguments of one call, converted in parameter order and kept across restarts: a value
// copied into our own storage is reused as it is; one read in place is given back before the
// handlers run, with its exporter kept, and lent again from that exporter.
template <class... Kinds>
class Arguments {
public:
    std::tuple<typename Kinds::type...> values;

    bool convert(PyObject* const* slots, const std::array<const char*, sizeof...(Kinds)>& params) {
        return [&]<std::size_t... I>(std::index_sequence<I...>) { return (step<I>(slots[I], params[I]) && ...); }
        (std::index_sequence_for<Kinds...>{});
    }

    // Before the handlers run: no memory stays lent.
    void pause() {
        std::apply([](auto&... v) { (valmora::py::pause(v), ...); }, values);
    }

private:
    template <std::size_t I>
    bool step(PyObject* slot, const char* param) {
        auto& value = std::get<I>(values);
        if (I < converted_) {
            PyRef exporter = take_exporter(value);
            return !exporter || convert_one<I>(exporter.get(), param);
        }
        if (!convert_one<I>(slot, param)) return false;
        converted_ = I + 1;
        return true;
    }

    template <std::size_t I>
    bool convert_one(PyObject* obj, const char* param) {
        using Kind = std::tuple_element_t<I, std::tuple<Kinds...>>;
        auto& value = std::get<I>(values);
        value = {};  // what a stopped conversion of a plain argument left
        const bool plain = Kind::plain(obj);
        own_lent_before(plain, values);
        // A plain argument is read again after a stop; the answer is already that outside any
        // unrepeatable conversion (each call starts with a fresh one), so it is left untouched.
        if (plain) return Kind::convert(obj, param, value);
        HandledHere here;
        return Kind::convert(obj, param, value);
    }

    std::size_t converted_ = 0;
};

template <class Core, class... Kinds>
PyObject* call(const Function<Core, Kinds...>& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const Signature sig{f.name, nullptr, f.params};
        PyObject* slots[sizeof...(Kinds)] = {};
        if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(sizeof...(Kinds))) {
            // Every argument by position, the common call: nothing to check.
            for (std::size_t i = 0; i < sizeof...(Kinds); ++i) slots[i] = args[i];
        } else if (!bind_fastcall(sig, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        // Only an array, or a sequence that may hold arrays, needs the array types.
        bool numbers_only = true;
        for (PyObject* slot : slots)
            numbers_only = numbers_only && (PyFloat_CheckExact(slot) || PyLong_CheckExact(slot));
        CallStops stops;
        LabelCheck labels;
        if (!numbers_only &&
            !(prepare_call() && read_labels(labels, f.params.data(), f.axes.data(), slots, sizeof...(Kinds)))) {
            return nullptr;
        }
        Arguments<Kinds...> arguments;
        for (;;) {
            try {
                if (!arguments.convert(slots, f.params) || !labels.agree()) return nullptr;
                // The core reads the values and may be stopped: it must leave them as they were.
                auto result = std::apply(f.core, std::as_const(arguments.values));
                if (!result.ok()) return raise(result.error());
                return to_python(result.value());
            } catch (const Stopped&) {
                arguments.pause();
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
