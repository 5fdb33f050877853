// How a call answers Ctrl-C.
#include "interrupts.hpp"

#include <Python.h>

#include <csignal>
#include <utility>

namespace valmora::py {
namespace {

// The answer of the call running on this thread; a call made from a handler or from Python code
// a conversion runs has its own, and gives the outer one back when it returns.
struct Answer {
    bool here = false;    // run the handlers where the stop is seen, and go on
    bool quiet = false;   // the handlers returned once: no more polling in this call
    bool raised = false;  // handlers run here raised; their exception ends the call
};
thread_local Answer answer;

bool run_handlers() {
    PyErr_SetInterruptEx(SIGINT);
    return PyErr_CheckSignals() == 0;
}

}  // namespace

bool interrupted() {
    if (answer.quiet || PyOS_InterruptOccurred() == 0) return false;
    if (!answer.here) return true;
    answer.quiet = true;
    if (run_handlers()) return false;
    answer.raised = true;
    return true;
}

bool resume_after_interrupt() {
    if (std::exchange(answer.raised, false)) return false;
    answer.quiet = true;
    return run_handlers();
}

CallStops::CallStops() noexcept : saved_here_(answer.here), saved_quiet_(answer.quiet), saved_raised_(answer.raised) {
    answer = {};
}

CallStops::~CallStops() { answer = {saved_here_, saved_quiet_, saved_raised_}; }

HandledHere::HandledHere() noexcept : saved_(std::exchange(answer.here, true)) {}

HandledHere::~HandledHere() { answer.here = saved_; }

HandlersDeferred::HandlersDeferred() noexcept : saved_(answer.quiet) { answer.quiet = answer.quiet || answer.here; }

HandlersDeferred::~HandlersDeferred() { answer.quiet = saved_; }

}  // namespace valmora::py
