#include "stop.hpp"

namespace valmora {
namespace {

thread_local StopProbe installed = nullptr;

}  // namespace

StopScope::StopScope(StopProbe probe) noexcept : previous_(installed) { installed = probe; }

StopScope::~StopScope() { installed = previous_; }

void poll_stop() {
    if (installed != nullptr && installed()) throw Stopped{};
}

}  // namespace valmora
