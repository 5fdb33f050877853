// Giving up a long computation when the caller asks. The core knows nothing of who asks: a
// caller installs a probe, and long loops poll it at
// block or row boundaries, every few milliseconds of work at most, never inside a vector loop.
// When the probe says stop, the routine ends by throwing Stopped: it leaves no result, and what
// it allocated is released as the exception passes.
#pragma once

#include <cstddef>
#include <type_traits>
#include <vector>

namespace valmora {

struct Stopped {};

using StopProbe = bool (*)();

// Installs `probe` for every routine run from now on, on any thread; null removes it. A probe
// must be cheap and may be called from any thread that runs a routine.
void install_stop_probe(StopProbe probe) noexcept;

// Throws Stopped when the installed probe says stop; does nothing without a probe.
void poll_stop();

// For loops of cheap steps over long series: body(begin, end) over consecutive runs of at most
// `run` indices covering [0, count) in order, with a poll before each run. A body that returns a
// bool ends the walk early by returning false; in_runs then returns false.
template <class Body>
bool in_runs(std::size_t count, Body body, std::size_t run = std::size_t{1} << 20) {
    for (std::size_t begin = 0; begin < count; begin += run) {
        poll_stop();
        const std::size_t end = count - begin < run ? count : begin + run;
        if constexpr (std::is_same_v<decltype(body(begin, end)), bool>) {
            if (!body(begin, end)) return false;
        } else {
            body(begin, end);
        }
    }
    return true;
}

// in_runs for a loop of steps one index at a time: step(i) for each i in [0, count), in order.
template <class Step>
void each_in_runs(std::size_t count, Step step, std::size_t run = std::size_t{1} << 20) {
    in_runs(
        count,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) step(i);
        },
        run);
}

// A vector of n copies of `value` whose memory is first touched a run at a time, with a poll
// before each: mapping the pages of the longest vectors is the kernel's work of a second or more.
template <class T>
std::vector<T> filled(std::size_t n, const T& value) {
    std::vector<T> v;
    v.reserve(n);
    in_runs(n, [&](std::size_t begin, std::size_t end) { v.insert(v.end(), end - begin, value); });
    return v;
}

}  // namespace valmora
