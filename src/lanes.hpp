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
#if defined(__AVX__)
inline constexpr bool kAvxThroughout = true;
#else
inline constexpr bool kAvxThroughout = false;
#endif

// Every lane a, its bits kept (V{} + a would make -0.0 +0.0), in one broadcast: g++ can turn a
// vector built lane by lane into as many masked inserts. In arithmetic, write a broadcast operand as
// the scalar times the vector instead, where the operand order does not matter: it folds into the
// instruction.
template <class V>
[[gnu::always_inline]] inline void splat(V& v, double a) {
#if defined(__x86_64__) && !defined(__clang__)
    if constexpr (sizeof(V) > 16) {
        asm("vbroadcastsd %1, %0" : "=v"(v) : "xm"(a));
        return;
    }
#endif
    V t{};
    for (std::size_t l = 0; l < sizeof(V) / sizeof(double); ++l) t[l] = a;
    v = t;
}

// a + b and a * b with the operands in the written order. When both are NaN, x86-64 and aarch64
// return the first one's (quietened), so b + a is not a + b in the bits; the compiler takes + and *
// as commutative and swaps their operands as suits its registers (at one instruction set and not
// at another), which no source order prevents. Where two NaNs can meet, a sum or product goes
// through these. Scalars take the kernel's lane count N, which picks the encoding (a legacy SSE
// instruction among AVX ones costs a state transition on Intel); scalar code outside the kernels
// takes the default. Two lanes are the baseline's SSE2, whose packed memory operands must be
// aligned: they come in registers. Elsewhere the compiler's order stands.
// clang checks the size of an assembly operand against the instruction set of the function it is
// written in, and these templates have none but the baseline's: there four and eight lanes keep the
// compiler's order, and a kernel that needs the operands' order is capped to two lanes
// (processors::kWidestOrdered).
inline constexpr bool kVectorsInAssembly = processors::kWidestOrdered != processors::Level::baseline;
enum class Op { add, mul };

template <Op op, std::size_t N>
[[gnu::always_inline]] inline double ordered(double a, double b) {
#if defined(__x86_64__)
    if constexpr (N <= 2 && !kAvxThroughout) {
        if constexpr (op == Op::add) asm("addsd %1, %0" : "+x"(a) : "xm"(b));
        else asm("mulsd %1, %0" : "+x"(a) : "xm"(b));
        return a;
    } else {
        double r;
        if constexpr (op == Op::add) asm("vaddsd %2, %1, %0" : "=x"(r) : "x"(a), "xm"(b));
        else asm("vmulsd %2, %1, %0" : "=x"(r) : "x"(a), "xm"(b));
        return r;
    }
#elif defined(__aarch64__)
    double r;
    if constexpr (op == Op::add) asm("fadd %d0, %d1, %d2" : "=w"(r) : "w"(a), "w"(b));
    else asm("fmul %d0, %d1, %d2" : "=w"(r) : "w"(a), "w"(b));
    return r;
#else
    return op == Op::add ? a + b : a * b;
#endif
}
template <Op op, class V>
[[gnu::always_inline]] inline void ordered(V& r, const V& a, const V& b) {
#if defined(__x86_64__)
    if constexpr (sizeof(V) == 16 && !kAvxThroughout) {
        V t = a;  // r may be b
        if constexpr (op == Op::add) asm("addpd %1, %0" : "+x"(t) : "x"(b));
        else asm("mulpd %1, %0" : "+x"(t) : "x"(b));
        r = t;
    } else if constexpr (sizeof(V) == 16 || kVectorsInAssembly) {
        if constexpr (op == Op::add) asm("vaddpd %2, %1, %0" : "=v"(r) : "v"(a), "vm"(b));
        else asm("vmulpd %2, %1, %0" : "=v"(r) : "v"(a), "vm"(b));
    } else {
        r = op == Op::add ? a + b : a * b;
    }
#elif defined(__aarch64__)
    static_assert(sizeof(V) == 16, "NEON lanes hold two doubles");
    if constexpr (op == Op::add) asm("fadd %0.2d, %1.2d, %2.2d" : "=w"(r) : "w"(a), "w"(b));
    else asm("fmul %0.2d, %1.2d, %2.2d" : "=w"(r) : "w"(a), "w"(b));
#else
    r = op == Op::add ? a + b : a * b;
#endif
}

template <std::size_t N = 2>
[[gnu::always_inline]] inline double add(double a, double b) {
    return ordered<Op::add, N>(a, b);
}
template <std::size_t N = 2>
[[gnu::always_inline]] inline double mul(double a, double b) {
    return ordered<Op::mul, N>(a, b);
}
// The same lane by lane, into r.
template <class V>
[[gnu::always_inline]] inline void add(V& r, const V& a, const V& b) {
    ordered<Op::add>(r, a, b);
}
template <class V>
[[gnu::always_inline]] inline void mul(V& r, const V& a, const V& b) {
    ordered<Op::mul>(r, a, b);
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
