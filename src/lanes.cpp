#include "lanes.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

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

// VALMORA_KERNEL_LEVEL caps the level for a whole process, as numpy's CPU-feature switches do, so
// that tests and benchmarks can run every level this processor has: "baseline", "avx2" or
// "avx512". Read once, at the first kernel; any other value, or none, leaves the level alone.
// Every level gives the same bits, so the setting changes only the time taken.
Level from_environment() {
    const char* name = std::getenv("VALMORA_KERNEL_LEVEL");
    if (name == nullptr) return Level::avx512;
    if (std::strcmp(name, "baseline") == 0) return Level::baseline;
    if (std::strcmp(name, "avx2") == 0) return Level::avx2;
    return Level::avx512;
}

}  // namespace

Level supported() {
    static const Level best = detect();
    return best;
}

Level level() {
    static const Level chosen = [] {
        const Level e = from_environment(), s = supported();
        return e < s ? e : s;
    }();
    const Level f = forced.load(std::memory_order_relaxed);
    return f < chosen ? f : chosen;
}

bool full_width_avx512() {
#if defined(__x86_64__)
    static const bool intel = [] {
        __builtin_cpu_init();
        return __builtin_cpu_is("intel") != 0;
    }();
    return intel && level() == Level::avx512;
#else
    return false;
#endif
}

void force_level(Level l) { forced.store(l, std::memory_order_relaxed); }

}  // namespace valmora::lanes
