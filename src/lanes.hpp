// Doubles operated on lane by lane, and the choice of instruction set at run time.
//
// Every lane performs the ordinary IEEE operation of the scalar code in the same order, so a
// loop written on lanes yields the scalar loop's bits; it only lets independent sums advance
// together. Kernels are templates on the lane count, compiled once per instruction set:
//   baseline  two doubles (SSE2 on x86-64, NEON elsewhere): wider vectors on the baseline are
//             lowered through memory and run far slower
//   avx2      four doubles
//   avx512    eight doubles
// and `level()` says which one this processor runs.
#pragma once

#include <cstddef>
#include <cstring>

namespace valmora::lanes {

template <std::size_t N>
struct Of {
    typedef double type __attribute__((vector_size(N * sizeof(double))));
};
template <std::size_t N>
using Vec = typename Of<N>::type;

// By reference, never by value: passing vectors by value changes the ABI between targets.
template <class V>
[[gnu::always_inline]] inline void load(V& v, const double* from) {
    std::memcpy(&v, from, sizeof v);
}
template <class V>
[[gnu::always_inline]] inline void store(double* to, const V& v) {
    std::memcpy(to, &v, sizeof v);
}
template <class V>
[[gnu::always_inline]] inline void splat(V& v, double a) {
    v = V{} + a;
}

enum class Level { baseline, avx2, avx512 };

// The widest level this processor supports (always baseline off x86-64).
Level supported();
// The level the kernels run at: supported(), unless forced.
Level level();
// For the kernel test program only: run every kernel at `l` (at most supported()).
void force_level(Level l);

}  // namespace valmora::lanes

// Defines `name` dispatching to `name##_avx512`, `name##_avx2` and `name##_baseline`, each the
// template `kernel<lanes>` compiled for its instruction set. Use in an anonymous namespace.
#if defined(__x86_64__)
#define VALMORA_LANES_KERNEL(ret, name, kernel, params, args)                                              \
    [[gnu::target("avx512f")]] ret name##_avx512 params { return kernel<8> args; }                        \
    [[gnu::target("avx2")]] ret name##_avx2 params { return kernel<4> args; }                             \
    ret name##_baseline params { return kernel<2> args; }                                                 \
    ret name params {                                                                                     \
        switch (::valmora::lanes::level()) {                                                              \
            case ::valmora::lanes::Level::avx512: return name##_avx512 args;                              \
            case ::valmora::lanes::Level::avx2: return name##_avx2 args;                                  \
            default: return name##_baseline args;                                                         \
        }                                                                                                 \
    }
// The same, for a kernel that measured no faster on eight lanes than on four: on processors
// with AVX-512 it runs the AVX2 build.
#define VALMORA_LANES_KERNEL_AVX2(ret, name, kernel, params, args)                                         \
    [[gnu::target("avx2")]] ret name##_avx2 params { return kernel<4> args; }                             \
    ret name##_baseline params { return kernel<2> args; }                                                 \
    ret name params {                                                                                     \
        switch (::valmora::lanes::level()) {                                                              \
            case ::valmora::lanes::Level::avx512:                                                         \
            case ::valmora::lanes::Level::avx2: return name##_avx2 args;                                  \
            default: return name##_baseline args;                                                         \
        }                                                                                                 \
    }
#else
#define VALMORA_LANES_KERNEL(ret, name, kernel, params, args) \
    ret name params { return kernel<2> args; }
#define VALMORA_LANES_KERNEL_AVX2(ret, name, kernel, params, args) VALMORA_LANES_KERNEL(ret, name, kernel, params, args)
#endif
