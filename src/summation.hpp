// Long left-to-right sums with the bits of the one-term-at-a-time chain, at vector speed.
//
// Why a block of terms may be added in any order. Let the running sum s be normal, with
// 2^E <= |s| < 2^(E+1), and let u = 2^(E-52), the spacing of doubles in that binade; s is a
// whole multiple of u. While the exact value s + t stays inside the same binade, with the same
// sign, the rounded sum is s + u * r, where r is t / u rounded to the nearest integer: the
// neighbours of s + t are the multiples of u. The exception is t / u exactly halfway between two
// integers: the tie goes to the even neighbour, which depends on s. So over a block of terms
// whose every partial sum stays in the binade and holds no tie, the chain ends at
// s + u * (r_1 + ... + r_m), and the r are integers whose sum is exact in any order, in vector
// lanes, while it stays below 2^53.
//
// In lanes, with B = 2^E carrying the sign of s, u * r is (t + C) - C, C = 1.5 B (or C = B when
// every term is >= 0): t + C lies in the binade of C, whose spacing is u, so the addition rounds
// t to a multiple of u, and the subtraction is exact. The remainder t - u r is exact too, and a
// tie shows as |t - u r| = u / 2. Three totals per block decide:
//   deviation   the largest |t - u r|: must stay below u / 2 (no tie, and no term rounded on a
//               coarser spacing than u);
//   sum         R, the sum of the u r;
//   magnitude   A, the sum of the |u r|, which bounds every partial sum from both sides: the
//               positive terms add up to (R + A) / 2 and the negative ones to (R - A) / 2.
// The block is exact when, for s > 0 (s < 0 is the mirror image):
//   - terms >= 0: s + R < 2B. Partial sums only grow, and a partial sum of multiples of u below
//     2B is exact, so a lane total below the bound proves every lane's partial sums exact.
//   - any signs: A < 2B, so that the lane totals are exact; (R - A) / 2 > -B / 2, so that no
//     term lies below -B / 2, where C + t would round on the finer spacing below C's binade
//     (terms above B / 2 round on a coarser one, which the deviation test catches);
//     s + (R + A) / 2 < 2B, and s + (R - A) / 2 > B, strictly: a partial sum of exactly B
//     followed by a small negative term would round on the finer spacing below B.
// NaN and infinity make R or A NaN or infinite and fail the tests; a zero, subnormal, huge
// (|s| >= 2^1023) or tiny (|s| < 2^-1021, where u / 2 underflows) running sum is never tried.
// Any block that fails is added in smaller blocks or one term at a time, so the result is always
// the chain's bits.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "lanes.hpp"

namespace valmora::summation {

// start + t[0] + t[1] + ... + t[count - 1], one addition at a time.
double add_in_order(double start, const double* terms, std::size_t count);
// The same for terms known to be >= 0, -0.0 or NaN (squares, validated volumes); a little faster.
double add_nonnegative_in_order(double start, const double* terms, std::size_t count);
// a = add_in_order(a, a_terms, count) and b = add_in_order(b, b_terms, count), faster where both
// keep falling back to one term at a time (sums that hover around zero).
void add_two_in_order(double& a, const double* a_terms, double& b, const double* b_terms, std::size_t count);

// ---- building blocks for lane kernels that make their own terms ----

// The binade of a running sum, or ok = false where no block may start from it.
struct Binade {
    double base = 0.0;          // B = 2^E with the sign of s
    double half_spacing = 0.0;  // u / 2
    bool ok = false;
};

inline Binade binade_of(double s) {
    const auto bits = std::bit_cast<std::uint64_t>(s);
    const auto exponent = (bits >> 52) & 0x7ff;
    Binade b;
    if (exponent < 2 || exponent > 2045) return b;
    b.base = std::bit_cast<double>(bits & 0xfff0000000000000ULL);
    // 2^(E-53): normal from a biased exponent of 54 up, subnormal below.
    b.half_spacing = std::bit_cast<double>(exponent > 53 ? (exponent - 53) << 52 : std::uint64_t{1} << (exponent - 2));
    b.ok = true;
    return b;
}

struct Totals {
    double sum = 0.0;
    double magnitude = 0.0;
    double deviation = 0.0;
};

inline Totals operator+(const Totals& a, const Totals& b) {
    return {a.sum + b.sum, a.magnitude + b.magnitude, a.deviation > b.deviation ? a.deviation : b.deviation};
}

// Totals of a block whose terms are `once` plus twice `twice` (a symmetric set of terms whose
// mirrored half was not computed). A NaN sum, failing close(), unless both are exact.
inline Totals once_plus_twice(const Totals& once, const Totals& twice, const Binade& b) {
    const double limit = 2.0 * (b.base < 0.0 ? -b.base : b.base);
    Totals t{2.0 * twice.sum + once.sum, 2.0 * twice.magnitude + once.magnitude,
             once.deviation > twice.deviation ? once.deviation : twice.deviation};
    if (!(once.magnitude < limit && twice.magnitude < limit)) t.sum = __builtin_nan("");
    return t;
}

// Adds an exact block's sum to s and returns true; returns false, leaving s, otherwise.
inline bool close(double& s, const Totals& t, const Binade& b, bool nonnegative) {
    if (!(t.deviation < b.half_spacing)) return false;
    if (nonnegative) {
        if (!(b.base > 0.0 && s + t.sum < 2.0 * b.base)) return false;
    } else {
        // Mirrored for a negative s, so that the checks read as for s > 0.
        const double base = b.base < 0.0 ? -b.base : b.base;
        const double start = b.base < 0.0 ? -s : s;
        const double sum = b.base < 0.0 ? -t.sum : t.sum;
        if (!(t.magnitude < 2.0 * base)) return false;
        if (!(t.magnitude - sum < base)) return false;  // the negative terms stay above -B / 2
        const double positive = (sum + t.magnitude) * 0.5;
        const double negative = (sum - t.magnitude) * 0.5;
        if (!(start + positive < 2.0 * base && start + negative > base)) return false;
    }
    s += t.sum;  // exact: a multiple of u inside the binade
    return true;
}

// The lanes of one block. Kernels may keep several to hide the latency of the additions, and
// combine them with merge(). Everything is inlined, so that it is compiled for the kernel's
// instruction set.
template <std::size_t N, bool Nonnegative>
struct Block {
    using Lanes = lanes::Vec<N>;
    using Bits = lanes::Bits<N>;
    Lanes offset{};
    Lanes sum{};
    Lanes magnitude{};
    Lanes deviation{};

    Block() = default;
    [[gnu::always_inline]] explicit Block(const Binade& b) {
        lanes::splat(offset, Nonnegative ? b.base : 1.5 * b.base);
    }

    // Clears the sign bits.
    [[gnu::always_inline]] static void absolute(Lanes& v) {
        const Bits magnitude_bits = Bits{} + 0x7fffffffffffffffLL;
        v = (Lanes)((Bits)v & magnitude_bits);
    }

    [[gnu::always_inline]] void add(const Lanes& t) {
        const Lanes q = (t + offset) - offset;
        Lanes d = t - q;
        absolute(d);
        if constexpr (N >= 8) {
            // On eight lanes compared as integers (for magnitudes the order of the bit patterns
            // is the order of the values, a NaN's above every number's): AVX-512's integer
            // maximum runs beside the additions, where the floating one takes their place. On
            // four, a compare and a blend measured slower than the floating maximum (AMD Zen 4).
            const Bits m = (Bits)d, k = (Bits)deviation;
            deviation = (Lanes)(m > k ? m : k);
        } else {
            deviation = deviation > d ? deviation : d;
        }
        sum += q;
        if constexpr (!Nonnegative) {
            Lanes m = q;
            absolute(m);
            magnitude += m;
        }
    }

    // Takes in another block's lanes, as if its terms had been added here.
    [[gnu::always_inline]] void merge(const Block& o) {
        sum += o.sum;
        magnitude += o.magnitude;
        deviation = deviation > o.deviation ? deviation : o.deviation;
    }

    [[gnu::always_inline]] Totals totals() const {
        Totals t;
        double s = 0.0, m = 0.0, d = 0.0;
        for (std::size_t l = 0; l < N; ++l) {
            s += sum[l];
            m += magnitude[l];
            d = d > deviation[l] ? d : deviation[l];
        }
        t.sum = s;
        t.magnitude = Nonnegative ? s : m;
        t.deviation = d;
        return t;
    }
};

}  // namespace valmora::summation
