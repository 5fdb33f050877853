#include "processors.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace valmora::processors {
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

const Family& detect_family() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    return __builtin_cpu_is("intel") ? kIntel : kAmd;
#else
    return kTwoLanes;
#endif
}

std::atomic<Level> forced{Level::avx512};

// VALMORA_KERNEL_LEVEL asks for one of the levels this processor offers for a whole process, as
// numpy's CPU-feature switches do, so that tests and benchmarks can run each: "baseline", "avx2"
// or "avx512". Read once; unset or empty asks for none. Any other value is refused, the module's
// import failing with the message: a level asked for is then always the level run.
struct Request {
    Level level = Level::avx512;
    std::string error;
};

Request from_environment() {
    Request r;
    const char* value = std::getenv("VALMORA_KERNEL_LEVEL");
    if (value == nullptr || *value == '\0') return r;
    const auto offered = static_cast<std::size_t>(supported());
    for (std::size_t l = 0; l <= offered; ++l) {
        if (std::strcmp(value, kLevelNames[l]) == 0) {
            r.level = static_cast<Level>(l);
            return r;
        }
    }
    r.error = "VALMORA_KERNEL_LEVEL='";
    // Shown as ASCII, so that the message decodes whatever bytes the variable holds.
    constexpr std::size_t kShown = 40;
    for (std::size_t i = 0; value[i] != '\0'; ++i) {
        if (i == kShown) {
            r.error += "...";
            break;
        }
        const auto c = static_cast<unsigned char>(value[i]);
        if (c >= 0x20 && c < 0x7f && c != '\'' && c != '\\') {
            r.error += static_cast<char>(c);
        } else {
            constexpr char kHex[] = "0123456789abcdef";
            r.error += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        }
    }
    r.error += "' is not a kernel level this processor offers; accepted values: ";
    for (std::size_t l = 0; l <= offered; ++l) r.error += std::string(l > 0 ? ", " : "") + kLevelNames[l];
    r.error += " (or unset, for the widest)";
    r.level = supported();
    return r;
}

const Request& requested() {
    static const Request r = from_environment();
    return r;
}

}  // namespace

const Family& family() {
    static const Family& f = detect_family();
    return f;
}

Level supported() {
    static const Level best = std::min(detect(), family().widest);
    return best;
}

Level level() {
    static const Level chosen = std::min(requested().level, supported());
    const Level f = forced.load(std::memory_order_relaxed);
    return f < chosen ? f : chosen;
}

const char* environment_error() {
    const Request& r = requested();
    return r.error.empty() ? nullptr : r.error.c_str();
}

void force_level(Level l) { forced.store(l, std::memory_order_relaxed); }

}  // namespace valmora::processors
