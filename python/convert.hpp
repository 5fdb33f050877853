// Converters from Python objects to the values the core takes, and what the conversions of one
// call share.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "buffer.hpp"
#include "frames.hpp"
#include "pyref.hpp"

namespace valmora::py {

// The arrays a call reads in place and the labels its arguments carry. A lent array is copied
// before a later conversion runs Python code (a __float__, an iterator, a frame's __array__) that
// could change or free it, and checked again after signal handlers ran at a poll.
class CallState {
public:
    // The call the stop probe asks about on this thread, until this one ends.
    CallState() noexcept;
    ~CallState() noexcept(false);  // its labels' release may run Python code
    CallState(const CallState&) = delete;
    CallState& operator=(const CallState&) = delete;

    void lent(Values& values, const char* param) noexcept;
    // Python code is about to run: every lent array is copied, then every export given back.
    void before_python();
    // After handlers ran: false, with BufferError naming the argument, if a lent array moved.
    bool intact() const;
    static CallState* current() noexcept;

    LabelCheck labels;

private:
    static constexpr std::size_t kMost = 6;        // no function takes more arguments
    std::pair<Values*, const char*> lent_[kMost];  // each lent argument, and its parameter's name
    std::size_t count_ = 0;
    CallState** slot_;
    CallState* previous_;
};

// A parameter: its name, its place among the call's arguments and, for labelled arguments, the
// label groups of its axes.
struct Param {
    const char* name;
    std::size_t argument;
    Axes axes{};
};

// Each converter yields the value, or fails with the exception the conversion-error rule makes of
// the failure (an exact TypeError named after the parameter); `state` is null if no array is read.
bool to_double(PyObject* obj, const char* param, double& out, CallState* state);
bool to_size(PyObject* obj, const char* param, std::uint64_t& out, CallState* state);
bool to_vector(PyObject* obj, const Param& param, VectorArg& out, CallState& state);
bool to_matrix(PyObject* obj, const Param& param, MatrixArg& out, CallState& state);
bool to_text(PyObject* obj, const char* param, std::string& out);
// The conversion-error rule applied to the pending exception; always false.
bool conversion_failed(const char* param);

// The stop probe: runs pending signal handlers in place; true (stop, the exception set) when
// they raised, or when code they ran moved an array the call reads.
bool stop_requested();

// Finds collections.abc.Sequence, named in conversion messages; done when the module is executed.
bool load_sequence_type();

// TypeError "'{type}' object is not an instance of '{expected}'" ("'None' is not ..." for None),
// or the same naming `type` itself.
void raise_not_instance(PyObject* obj, PyObject* expected_type);
void raise_type_not_instance(PyObject* type, PyObject* expected_type);

}  // namespace valmora::py
