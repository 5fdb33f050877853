#include "stop.hpp"

#include <atomic>

namespace valmora {
namespace {

std::atomic<StopProbe> installed{nullptr};

}  // namespace

void install_stop_probe(StopProbe probe) noexcept { installed.store(probe, std::memory_order_relaxed); }

void poll_stop() {
    const StopProbe probe = installed.load(std::memory_order_relaxed);
    if (probe != nullptr && probe()) throw Stopped{};
}

}  // namespace valmora
