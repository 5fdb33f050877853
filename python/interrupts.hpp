// How a call answers Ctrl-C: the state of the call on this thread, which the argument
// readers (buffer.cpp) and the call itself (call.hpp) both consult.
#pragma once

namespace valmora::py {

// Ctrl-C: long loops, ours and the core's, poll for a SIGINT to the main thread without running
// Python code (the probe is installed when the module is executed). The signal's handlers run
// where the stop is seen while an argument converts that cannot be read again (one that runs
// Python code or consumes an iterator), and the conversion goes on if they return; anywhere
// else the call gives back the memory it was lent, runs them, and if they return (a program that
// ignores SIGINT) starts over, reusing every argument already converted. Once the handlers have
// returned, the call polls no more: later signals are handled when it returns, as for any C
// function, so a storm of them cannot keep it from finishing.
bool interrupted();
// Puts the signal back and runs the handlers: true when they returned, false with their
// exception (or the exception of handlers already run where the stop was seen).
bool resume_after_interrupt();

// The answer to a stop for the call on this thread, fresh for each call and given back when it
// returns (a handler or a conversion may call into the module again).
class CallStops {
public:
    CallStops() noexcept;
    ~CallStops();
    CallStops(const CallStops&) = delete;
    CallStops& operator=(const CallStops&) = delete;

private:
    bool saved_here_, saved_quiet_, saved_raised_;
};

// While an argument that cannot be read again converts, a stop runs the handlers in place.
class HandledHere {
public:
    HandledHere() noexcept;
    ~HandledHere();
    HandledHere(const HandledHere&) = delete;
    HandledHere& operator=(const HandledHere&) = delete;

private:
    bool saved_;
};

// While memory lent by a caller is copied, no handler may run: a stop waits for the next poll
// after the copy (where the handlers would run in place, a lent copy is never restarted).
class HandlersDeferred {
public:
    HandlersDeferred() noexcept;
    ~HandlersDeferred();
    HandlersDeferred(const HandlersDeferred&) = delete;
    HandlersDeferred& operator=(const HandlersDeferred&) = delete;

private:
    bool saved_;
};

}  // namespace valmora::py
