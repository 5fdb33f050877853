#include "rolling_correlation.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

#include "lanes.hpp"
#include "stop.hpp"

namespace valmora {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A compiler may swap the operands of + and * (the lane kernels' sums and products), which decides
// the NaN where two meet, so a window that comes out NaN there, and whose NaN could depend on that
// order, is done again here with the operands as written: + and * through lanes::add and
// lanes::mul, - and / as they stand (no compiler swaps those). On aarch64, where a signalling NaN
// wins over a quiet one whatever the order, these are the lane kernels' own instructions too.
//
// One window of w values starting at x and y, summed in index order from its first element.
[[gnu::noinline]] double window_correlation(const double* x, const double* y, std::size_t w) {
    using lanes::add, lanes::mul;
    double sx = x[0];
    double sy = y[0];
    for (std::size_t k = 1; k < w; ++k) {
        sx = add(sx, x[k]);
        sy = add(sy, y[k]);
    }
    const double count = static_cast<double>(w);
    const double mx = sx / count;
    const double my = sy / count;
    double dx = x[0] - mx;
    double dy = y[0] - my;
    double sxx = mul(dx, dx);
    double syy = mul(dy, dy);
    double sxy = mul(dx, dy);
    for (std::size_t k = 1; k < w; ++k) {
        dx = x[k] - mx;
        dy = y[k] - my;
        sxx = add(sxx, mul(dx, dx));
        syy = add(syy, mul(dy, dy));
        sxy = add(sxy, mul(dx, dy));
    }
    const double divisor = static_cast<double>(w - 1);
    const double var_x = sxx / divisor;
    const double var_y = syy / divisor;
    if (var_x == 0.0 || var_y == 0.0) return kNaN;
    return sxy / divisor / mul(std::sqrt(var_x), std::sqrt(var_y));
}

// The zero-variance test and the quotient of L windows, lane by lane: division and square root are
// correctly rounded in every lane, so a lane has the bits of one window done alone. A zero
// variance gives the positive quiet NaN; made_nan marks the lanes whose arithmetic made a NaN.
// The tests are integer arithmetic on the bits: GCC turns a comparison of eight doubles into
// eight scalar ones before it knows the lanes are AVX-512's.
template <std::size_t L>
[[gnu::always_inline]] inline void finish_windows(const lanes::Vec<L>& sxx, const lanes::Vec<L>& syy,
                                                  const lanes::Vec<L>& sxy, const lanes::Vec<L>& divisor, double* out,
                                                  lanes::Bits<L>& made_nan) {
    using Lanes = lanes::Vec<L>;
    using Bits = lanes::Bits<L>;
    constexpr long long kMagnitude = 0x7fffffffffffffff;
    constexpr long long kInfinity = 0x7ff0000000000000;
    const Lanes var_x = sxx / divisor;
    const Lanes var_y = syy / divisor;
    Lanes sd_x, sd_y;
    for (std::size_t j = 0; j < L; ++j) {
        sd_x[j] = std::sqrt(var_x[j]);
        sd_y[j] = std::sqrt(var_y[j]);
    }
    const Lanes r = (sxy / divisor) / (sd_x * sd_y);
    Bits bits_x, bits_y, bits_r;
    std::memcpy(&bits_x, &var_x, sizeof bits_x);
    std::memcpy(&bits_y, &var_y, sizeof bits_y);
    std::memcpy(&bits_r, &r, sizeof bits_r);
    // All ones where a magnitude is 0 (either variance), or above infinity's (r a NaN).
    const Bits zero = (((bits_x & kMagnitude) - 1) | ((bits_y & kMagnitude) - 1)) >> 63;
    const Bits result = (bits_r & ~zero) | (zero & std::bit_cast<long long>(kNaN));
    std::memcpy(out, &result, sizeof result);
    made_nan = ((kInfinity - (bits_r & kMagnitude)) >> 63) & ~zero;
}

// The non-finite values among some: whether any is infinite, whether any is a NaN, and the AND
// and OR of the NaNs' bits, which are equal exactly when the NaNs are all alike. Kept in integer
// arithmetic without branches, which NaNs scattered at random would mispredict.
template <class Bits>
struct NonFinite {
    static constexpr long long kMagnitude = 0x7fffffffffffffff;
    static constexpr long long kInfinity = 0x7ff0000000000000;
    Bits infinities{}, nans{}, all = ~Bits{}, any{};

    [[gnu::always_inline]] void add(const Bits& bits) {
        const Bits magnitude = bits & kMagnitude;
        const Bits nan = (kInfinity - magnitude) >> 63;  // all ones where the magnitude is above infinity's
        infinities |= ((magnitude ^ kInfinity) - 1) >> 63;
        nans |= nan;
        all &= bits | ~nan;
        any |= bits & nan;
    }
};

// Whether the NaN of a window within x[0, count) and y[0, count) can depend on the order of
// operands: only when NaNs of two kinds may meet. Without NaN inputs, the only NaN is the default
// one. With NaN inputs of one bit pattern and no infinity, the NaN reaches its series' mean, so
// every deviation of that series, every product and every sum after them; finite values alone
// make infinities of one sign in a sum, never inf - inf, so no other NaN arises on the way.
template <std::size_t L>
[[gnu::always_inline]] inline bool nan_order_matters_in_lanes(const double* x, const double* y, std::size_t count) {
    NonFinite<lanes::Bits<L>> seen;
    NonFinite<long long> tail;
    for (const double* series : {x, y}) {
        std::size_t k = 0;
        for (; k + L <= count; k += L) {
            lanes::Bits<L> bits;
            std::memcpy(&bits, series + k, sizeof bits);
            seen.add(bits);
        }
        for (; k < count; ++k) tail.add(std::bit_cast<long long>(series[k]));
    }
    for (std::size_t j = 0; j < L; ++j) {
        tail.infinities |= seen.infinities[j];
        tail.nans |= seen.nans[j];
        tail.all &= seen.all[j];
        tail.any |= seen.any[j];
    }
    return tail.nans != 0 && (tail.infinities != 0 || tail.all != tail.any);
}

bool nan_order_matters(const double* x, const double* y, std::size_t count) {
    return lanes::run<lanes::Kernel::nan_kinds>([&]<std::size_t N>() __attribute__((always_inline)) {
        return nan_order_matters_in_lanes<N>(x, y, count);
    });
}

// Done again one at a time: the windows starting at x, y whose arithmetic made a NaN, where its
// bits could depend on the order of operands. Most inputs that hold NaNs hold one kind, and are
// passed over at the cost of one look; otherwise stretches of windows are looked at, then the
// NaN windows of a stretch that mixes kinds one by one.
[[gnu::noinline]] void settle_made_nans(const double* x, const double* y, std::size_t w, std::size_t windows,
                                        double* out) {
    if (!nan_order_matters(x, y, windows + w - 1)) return;
    constexpr std::size_t kStretch = 32;
    for (std::size_t s0 = 0; s0 < windows; s0 += kStretch) {
        const std::size_t count = std::min(kStretch, windows - s0);
        if (std::none_of(out + s0, out + s0 + count, [](double r) { return std::isnan(r); }) ||
            !nan_order_matters(x + s0, y + s0, count + w - 1))
            continue;
        for (std::size_t s = s0; s < s0 + count; ++s)
            if (std::isnan(out[s]) && nan_order_matters(x + s, y + s, w)) out[s] = window_correlation(x + s, y + s, w);
    }
}

// U vectors of consecutive windows at once, lane j of vector u holding the window that starts
// at x + u * lanes + j. Every lane performs exactly the operations of window_correlation in
// the same order; lanes never mix, so each output has the scalar bits. Several vectors per
// block keep independent accumulator chains in flight.
template <std::size_t L, std::size_t U>
[[gnu::always_inline]] inline void correlate_block(const double* x, const double* y, std::size_t w, double* out,
                                                   long long& made_nans) {
    using Lanes = lanes::Vec<L>;
    using lanes::load;
    Lanes sx[U], sy[U];
#pragma GCC unroll 8
    for (std::size_t u = 0; u < U; ++u) {
        load(sx[u], x + u * L);
        load(sy[u], y + u * L);
    }
    for (std::size_t k = 1; k < w; ++k) {
#pragma GCC unroll 8
        for (std::size_t u = 0; u < U; ++u) {
            Lanes vx, vy;
            load(vx, x + u * L + k);
            load(vy, y + u * L + k);
            sx[u] += vx;
            sy[u] += vy;
        }
    }
    Lanes count;
    for (std::size_t j = 0; j < L; ++j) count[j] = static_cast<double>(w);
    Lanes mx[U], my[U], sxx[U], syy[U], sxy[U];
#pragma GCC unroll 8
    for (std::size_t u = 0; u < U; ++u) {
        mx[u] = sx[u] / count;
        my[u] = sy[u] / count;
        Lanes dx, dy;
        load(dx, x + u * L);
        load(dy, y + u * L);
        dx -= mx[u];
        dy -= my[u];
        sxx[u] = dx * dx;
        syy[u] = dy * dy;
        sxy[u] = dx * dy;
    }
    for (std::size_t k = 1; k < w; ++k) {
#pragma GCC unroll 8
        for (std::size_t u = 0; u < U; ++u) {
            Lanes dx, dy;
            load(dx, x + u * L + k);
            load(dy, y + u * L + k);
            dx -= mx[u];
            dy -= my[u];
            sxx[u] += dx * dx;
            syy[u] += dy * dy;
            sxy[u] += dx * dy;
        }
    }
    Lanes divisor;
    lanes::splat(divisor, static_cast<double>(w - 1));
    lanes::Bits<L> made_nan[U];
#pragma GCC unroll 8
    for (std::size_t u = 0; u < U; ++u) finish_windows<L>(sxx[u], syy[u], sxy[u], divisor, out + u * L, made_nan[u]);
    for (std::size_t u = 0; u < U; ++u)
        for (std::size_t j = 0; j < L; ++j) made_nans |= made_nan[u][j];
}

// Fills whole blocks of windows (out[s] for the window starting at s) and returns how many
// windows were done; the caller finishes the rest one by one. made_nans is nonzero if a window's
// arithmetic made a NaN.
template <std::size_t L>
[[gnu::always_inline]] inline std::size_t correlate_blocks(const double* x, const double* y, std::size_t windows,
                                                           std::size_t w, double* out, long long& made_nans) {
    constexpr std::size_t U = 4;
    constexpr std::size_t block = U * L;
    std::size_t s = 0;
    for (; s + block <= windows; s += block) correlate_block<L, U>(x + s, y + s, w, out + s, made_nans);
    return s;
}

std::size_t correlate_all_blocks(const double* x, const double* y, std::size_t windows, std::size_t w, double* out) {
    long long made_nans = 0;
    const auto kernel = [&]<std::size_t N>() __attribute__((always_inline)) {
        return correlate_blocks<N>(x, y, windows, w, out, made_nans);
    };
    const std::size_t done = lanes::run<lanes::Kernel::rolling_windows>(kernel);
    if (made_nans != 0) settle_made_nans(x, y, w, done, out);
    return done;
}

}  // namespace

void RollingCorrelation::compute(std::size_t start, std::span<double> out) const {
    const std::size_t n = out.size();
    // Positions before the first full window.
    const std::size_t lead = start < window_ - 1 ? std::min(n, window_ - 1 - start) : 0;
    std::fill_n(out.data(), lead, kNaN);
    if (lead == n) return;
    // Position p holds the window starting at p - (w - 1).
    const std::size_t first = start + lead - (window_ - 1);
    const std::size_t windows = n - lead;
    double* by_start = out.data() + lead;
    // Runs of windows of about a million values in all, so a stop request is seen within a
    // millisecond or so; a multiple of every block size, so only the last run has a tail.
    const std::size_t run = std::max<std::size_t>(64, ((std::size_t{1} << 20) / window_) & ~std::size_t{63});
    for (std::size_t s0 = 0; s0 < windows; s0 += run) {
        poll_stop();
        const std::size_t count = std::min(run, windows - s0);
        const double* x = x_.data() + first + s0;
        const double* y = y_.data() + first + s0;
        const std::size_t done = correlate_all_blocks(x, y, count, window_, by_start + s0);
        for (std::size_t s = done; s < count; ++s) by_start[s0 + s] = window_correlation(x + s, y + s, window_);
    }
}

std::vector<double> RollingCorrelation::all() const {
    std::vector<double> out(size());
    compute(0, out);
    return out;
}

Result<RollingCorrelation> rolling_correlation(std::span<const double> x, std::span<const double> y,
                                               std::uint64_t window) {
    if (window < 2) return ValidationError{"window must be >= 2"};
    if (x.size() != y.size()) return ValidationError{"x and y must have the same length"};
    // A window longer than the series ends nowhere: every position is NaN.
    const auto w = window - 1 >= x.size() ? x.size() + 1 : static_cast<std::size_t>(window);
    return RollingCorrelation(x, y, w);
}

}  // namespace valmora
