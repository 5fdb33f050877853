// Giving up a long computation when the caller asks. The core knows nothing of who asks: a
// caller installs a probe, and long loops poll it at
// block or row boundaries, every few milliseconds of work at most, never inside a vector loop.
// When the probe says stop, the routine ends by throwing Stopped: it leaves no result, and what
// it allocated is released as the exception passes.
#pragma once

#include <cstddef>

namespace valmora {

struct Stopped {};

using StopProbe = bool (*)();

// Installs `probe` for every routine run from now on, on any thread; null removes it. A probe
// must be cheap and may be called from any thread that runs a routine.
void install_stop_probe(StopProbe probe) noexcept;

// Throws Stopped when the installed probe says stop; does nothing without a probe.
void poll_stop();

// For loops of cheap steps over long series: body(begin, end) over consecutive runs of at most
// `run` indices covering [0, count) in order, with a poll before each run.
template <class Body>
void in_runs(std::size_t count, Body body, std::size_t run = std::size_t{1} << 20) {
    for (std::size_t begin = 0; begin < count; begin += run) {
        poll_stop();
        body(begin, count - begin < run ? count : begin + run);
    }
}

// For loops of cheap steps: polls once every `Every` steps.
template <std::size_t Every>
class StopCounter {
public:
    void step() {
        if (++count_ == Every) {
            count_ = 0;
            poll_stop();
        }
    }

private:
    std::size_t count_ = 0;
};

}  // namespace valmora
