// Doubles operated on lane by lane, and the build of a kernel for each instruction set.
//
// Every lane performs the ordinary IEEE operation of the scalar code in the same order, so a
// loop written on lanes yields the scalar loop's bits; it only lets independent sums advance
// together. Kernels are templates on the lane count, compiled once per level (processors.hpp:
// two doubles at the baseline, four at avx2, eight at avx512), and run at the level their
// processor family gives them.
#pragma once

#include <cstddef>
#include <cstring>

#include "processors.hpp"

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

using processors::Kernel;
using processors::lanes_of;
using processors::Level;

// The builds of a kernel for each instruction set: `body` is a lambda templated on the lane
// count, always inlined, so that the kernel is compiled with the target of the build it runs in.
#if defined(__x86_64__)
template <class Body>
[[gnu::target("avx512f")]] auto run_avx512(const Body& body) {
    return body.template operator()<8>();
}
template <class Body>
[[gnu::target("avx2")]] auto run_avx2(const Body& body) {
    return body.template operator()<4>();
}
// A function of its own like the others: inlined into its caller, the packed cross-product's
// baseline build measured 8-10% slower at 5000x300.
template <class Body>
[[gnu::noinline]] auto run_baseline(const Body& body) {
    return body.template operator()<2>();
}
#endif

// Runs kernel k's `body` at the level k runs at on this processor (processors.hpp); only the
// builds some family runs k at are made. A dispatcher reads
//   void f(const double* x, std::size_t n) {
//       lanes::run<Kernel::f>([&]<std::size_t N>() __attribute__((always_inline)) { f_kernel<N>(x, n); });
//   }
template <Kernel k, class Body>
auto run(const Body& body) {
#if defined(__x86_64__)
    constexpr Level widest = processors::widest_anywhere(k);
    const Level l = processors::level_of(k);
    if constexpr (widest == Level::avx512) {
        if (l == Level::avx512) return run_avx512(body);
    }
    if constexpr (widest >= Level::avx2) {
        if (l == Level::avx2) return run_avx2(body);
    }
    return run_baseline(body);
#else
    return body.template operator()<2>();
#endif
}

}  // namespace valmora::lanes
