// Four doubles operated on lane by lane. Every lane performs the ordinary IEEE operation of
// the scalar code in the same order, so a loop written on lanes yields the scalar loop's bits;
// it only lets independent sums advance together.
#pragma once

#include <cstring>

namespace valmora::lanes {

using Lanes = double __attribute__((vector_size(4 * sizeof(double))));
inline constexpr std::size_t kWidth = 4;

// By reference, never by value: passing vectors by value changes the ABI between targets.
[[gnu::always_inline]] inline void load(Lanes& v, const double* from) { std::memcpy(&v, from, sizeof v); }
[[gnu::always_inline]] inline void store(double* to, const Lanes& v) { std::memcpy(to, &v, sizeof v); }
[[gnu::always_inline]] inline void splat(Lanes& v, double a) { v = Lanes{a, a, a, a}; }

#if defined(__x86_64__)
// The wheel targets every x86-64; the AVX2 variants are chosen at run time. Building with
// -DVALMORA_BASELINE_ONLY runs the baseline variants everywhere, so tests can cover them.
inline bool has_avx2() {
#if defined(VALMORA_BASELINE_ONLY)
    return false;
#else
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
#endif
}
#endif

}  // namespace valmora::lanes
