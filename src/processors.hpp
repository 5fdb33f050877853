// The processor families the lane kernels know, each described once: the levels (vector sets) it
// can offer, and the widest level each kernel runs at there. A new family (another vendor's
// cores, a vector set such as ARM's SVE) is one more Family in kFamilies, its detection in
// processors.cpp and, for a new vector set, one more Level and its build in lanes.hpp; no kernel's
// dispatcher changes. The block sizes of the cross-product kernels are in blocks.hpp, one set for
// every family so far.
#pragma once

#include <algorithm>
#include <cstddef>

namespace valmora::processors {

// Vector sets, narrowest first. The lanes are doubles per vector: the baseline is SSE2 on x86-64
// and NEON on aarch64, where wider vectors would be lowered through memory and run far slower.
enum class Level { baseline, avx2, avx512 };
inline constexpr std::size_t kLevels = 3;
inline constexpr const char* kLevelNames[kLevels] = {"baseline", "avx2", "avx512"};
inline constexpr std::size_t kLanes[kLevels] = {2, 4, 8};

// Every kernel that lanes::run dispatches, by the name its dispatcher gives.
enum class Kernel {
    rolling_windows,       // rolling_correlation.cpp: blocks of windows
    nan_kinds,             // rolling_correlation.cpp: which NaNs and infinities the inputs hold
    order_keys,            // order_statistics.cpp: the keys of transfer entropy's symbols
    exposures,             // risk.cpp
    exact_sums,            // summation.cpp: the sums in lanes through the exact grid
    complete_rows_short,   // matrix.cpp: the scan for complete rows, rows shorter than 150
    complete_rows_long,    //   and from 150 values on
    centred_observations,  // matrix.cpp: rows fetched and centred for the cross-products
    tiled_cross_product,   // matrix.cpp: up to blocks::kMostTiledColumns columns
    packed_cross_product,  // matrix.cpp: more columns
    deviation_chain,       // covariance.cpp: the Ledoit-Wolf chain, an observation to a lane
};
inline constexpr std::size_t kKernels = 11;

inline constexpr std::size_t index(Kernel k) { return static_cast<std::size_t>(k); }
static_assert(index(Kernel::deviation_chain) + 1 == kKernels);

// clang checks an assembly operand's size against the instruction set of the function it is written
// in, which in the kernel templates is the baseline's: there lanes::add and lanes::mul keep the
// operands' order on two lanes only, and a kernel that needs that order is capped to the baseline.
#if defined(__clang__)
inline constexpr Level kWidestOrdered = Level::baseline;
#else
inline constexpr Level kWidestOrdered = Level::avx512;
#endif

struct Family {
    const char* name;
    Level widest;             // the widest level the family can offer
    Level kernels[kKernels];  // each kernel's widest level, in the order of Kernel
};

// x86-64: some kernels measured no faster on eight lanes than on four, and run at avx2 (why: at
// their dispatchers); the packed cross-product's choice is the family's.
inline constexpr Family x86_64(const char* name, Level packed_cross_product) {
    Family f{name, Level::avx512, {}};
    for (Level& l : f.kernels) l = Level::avx512;
    for (Kernel k : {Kernel::exact_sums, Kernel::complete_rows_short, Kernel::tiled_cross_product})
        f.kernels[index(k)] = Level::avx2;
    f.kernels[index(Kernel::packed_cross_product)] = packed_cross_product;
    f.kernels[index(Kernel::exposures)] = kWidestOrdered;  // the operands' order is the contract's
    return f;
}

// Intel's cores execute eight lanes at once: the packed cross-product on eight measured 17-19%
// faster than on four at 5000x300, 8-9% at 1000x1500.
inline constexpr Family kIntel = x86_64("x86-64 Intel", Level::avx512);
// AMD's Zen 4 executes eight lanes as two halves of four: the packed cross-product's tiles of
// eight lanes all ran 20-37% slower there. Other x86-64 vendors are taken to be alike.
inline constexpr Family kAmd = x86_64("x86-64 AMD", Level::avx2);
// aarch64 (NEON) and every other processor: two lanes.
inline constexpr Family kTwoLanes = {"two lanes", Level::baseline, {}};

inline constexpr const Family* kFamilies[] = {&kIntel, &kAmd, &kTwoLanes};

// The widest level a kernel runs at on any family: the builds it needs.
inline constexpr Level widest_anywhere(Kernel k) {
    Level widest = Level::baseline;
    for (const Family* f : kFamilies) widest = std::max(widest, f->kernels[index(k)]);
    return widest;
}

// The family of this processor.
const Family& family();
// The widest level this processor supports (always baseline off x86-64).
Level supported();
// The level the kernels run at: supported(), unless VALMORA_KERNEL_LEVEL asks for another this
// processor offers (read once) or the level is forced.
Level level();
// The level kernel k runs at: level(), capped by the family's entry for k.
inline Level level_of(Kernel k) { return std::min(level(), family().kernels[index(k)]); }
inline std::size_t lanes_of(Kernel k) { return kLanes[static_cast<std::size_t>(level_of(k))]; }
// Null, or why VALMORA_KERNEL_LEVEL is refused (a value that is no level this processor offers),
// naming the variable and the accepted values; the kernels then run at supported().
const char* environment_error();
// For the kernel test program and the fuzzer only: run every kernel at `l` (at most supported()).
void force_level(Level l);

}  // namespace valmora::processors
