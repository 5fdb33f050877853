#include "lanes.hpp"

#include <atomic>

namespace valmora::lanes {
namespace {

Level detect() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    // AVX-512 Foundation is all the eight-double kernels use.
    if (__builtin_cpu_supports("avx512f")) return Level::avx512;
    if (__builtin_cpu_supports("avx2")) return Level::avx2;
#endif
    return Level::baseline;
}

std::atomic<Level> forced{Level::avx512};

}  // namespace

Level supported() {
    static const Level best = detect();
    return best;
}

Level level() {
    const Level f = forced.load(std::memory_order_relaxed);
    const Level s = supported();
    return f < s ? f : s;
}

void force_level(Level l) { forced.store(l, std::memory_order_relaxed); }

}  // namespace valmora::lanes
