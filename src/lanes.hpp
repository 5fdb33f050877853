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
struct DoubleVector {
    typedef double type __attribute__((vector_size(N * sizeof(double))));
};
// The same lanes seen as 64-bit integers, for tests and masks on the bit patterns.
template <std::size_t N>
struct BitsVector {
    typedef long long type __attribute__((vector_size(N * sizeof(double))));
};
template <std::size_t N>
using Vec = typename DoubleVector<N>::type;
template <std::size_t N>
using Bits = typename BitsVector<N>::type;

// By reference, never by value: passing vectors by value changes the ABI between targets.
template <class V>
[[gnu::always_inline]] inline void load(V& v, const double* from) {
    std::memcpy(&v, from, sizeof v);
}
template <class V>
[[gnu::always_inline]] inline void store(double* to, const V& v) {
    std::memcpy(to, &v, sizeof v);
}
// Every lane a, signed zeros kept (V{} + a would make -0.0 +0.0). In arithmetic, write a
// broadcast operand as the scalar times the vector instead: it folds into the instruction.
template <class V>
[[gnu::always_inline]] inline void splat(V& v, double a) {
    V t{};
    for (std::size_t l = 0; l < sizeof(V) / sizeof(double); ++l) t[l] = a;
    v = t;
}

enum class Level { baseline, avx2, avx512 };

// The widest level this processor supports (always baseline off x86-64).
Level supported();
// The level the kernels run at: supported(), unless capped by VALMORA_KERNEL_LEVEL (read once)
// or forced.
Level level();
// Whether the kernels run at avx512 on a processor that executes eight lanes at once (Intel's),
// rather than as two halves of four (AMD's Zen 4), where some kernels are faster on four.
bool full_width_avx512();
// For the kernel test program only: run every kernel at `l` (at most supported()).
void force_level(Level l);

}  // namespace valmora::lanes

// Defines `name` dispatching to builds of the template `kernel<lanes>` for each instruction set,
// `widest` being avx512 or avx2: a kernel that measured no faster on eight lanes than on four
// runs its AVX2 build on processors with AVX-512 too. Use in an anonymous namespace.
#if defined(__x86_64__)
#define VALMORA_LANES_KERNEL(widest, ret, name, kernel, params, args)                                              \
    VALMORA_LANES_BUILD_##widest(ret, name, kernel, params, args) [[gnu::target("avx2")]] ret name##_avx2 params { \
        return kernel<4> args;                                                                                     \
    }                                                                                                              \
    ret name##_baseline params { return kernel<2> args; }                                                          \
    ret name params {                                                                                              \
        switch (::valmora::lanes::level()) {                                                                       \
            case ::valmora::lanes::Level::avx512: return name##_##widest args;                                     \
            case ::valmora::lanes::Level::avx2: return name##_avx2 args;                                           \
            default: return name##_baseline args;                                                                  \
        }                                                                                                          \
    }
#define VALMORA_LANES_BUILD_avx512(ret, name, kernel, params, args) \
    [[gnu::target("avx512f")]] ret name##_avx512 params { return kernel<8> args; }
#define VALMORA_LANES_BUILD_avx2(ret, name, kernel, params, args)
#else
#define VALMORA_LANES_KERNEL(widest, ret, name, kernel, params, args) \
    ret name params { return kernel<2> args; }
#endif
