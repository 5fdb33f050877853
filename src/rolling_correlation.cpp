#include "rolling_correlation.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "lanes.hpp"
#include "stop.hpp"

namespace valmora {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The zero-variance test and the quotient of L windows, lane by lane: division and square root are
// correctly rounded in every lane, so a lane has the bits of one window done alone. A NaN result is
// reported as the positive quiet NaN, whatever payload the hardware made.
template <std::size_t L>
[[gnu::always_inline]] inline void finish_windows(const lanes::Vec<L>& sxx, const lanes::Vec<L>& syy,
                                                  const lanes::Vec<L>& sxy, const lanes::Vec<L>& divisor, double* out) {
    using Lanes = lanes::Vec<L>;
    const Lanes var_x = sxx / divisor;
    const Lanes var_y = syy / divisor;
    Lanes sd_x, sd_y;
    for (std::size_t j = 0; j < L; ++j) {
        sd_x[j] = std::sqrt(var_x[j]);
        sd_y[j] = std::sqrt(var_y[j]);
    }
    const Lanes r = (sxy / divisor) / (sd_x * sd_y);
    for (std::size_t j = 0; j < L; ++j) {
        out[j] = var_x[j] == 0.0 || var_y[j] == 0.0 || std::isnan(r[j]) ? kNaN : r[j];
    }
}

// One window of w values starting at x and y, summed in index order from its first element.
double window_correlation(const double* x, const double* y, std::size_t w) {
    double sx = x[0];
    double sy = y[0];
    for (std::size_t k = 1; k < w; ++k) {
        sx += x[k];
        sy += y[k];
    }
    const double count = static_cast<double>(w);
    const double mx = sx / count;
    const double my = sy / count;
    double dx = x[0] - mx;
    double dy = y[0] - my;
    double sxx = dx * dx;
    double syy = dy * dy;
    double sxy = dx * dy;
    for (std::size_t k = 1; k < w; ++k) {
        dx = x[k] - mx;
        dy = y[k] - my;
        sxx += dx * dx;
        syy += dy * dy;
        sxy += dx * dy;
    }
    double r;
    finish_windows<1>(lanes::Vec<1>{sxx}, lanes::Vec<1>{syy}, lanes::Vec<1>{sxy},
                      lanes::Vec<1>{static_cast<double>(w - 1)}, &r);
    return r;
}

// U vectors of consecutive windows at once, lane j of vector u holding the window that starts
// at x + u * lanes + j. Every lane performs exactly the operations of window_correlation in
// the same order; lanes never mix, so each output has the scalar bits. Several vectors per
// block keep independent accumulator chains in flight.
template <std::size_t L, std::size_t U>
[[gnu::always_inline]] inline void correlate_block(const double* x, const double* y, std::size_t w, double* out) {
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
#pragma GCC unroll 8
    for (std::size_t u = 0; u < U; ++u) finish_windows<L>(sxx[u], syy[u], sxy[u], divisor, out + u * L);
}

// Fills whole blocks of windows (out[s] for the window starting at s) and returns how many
// windows were done; the caller finishes the rest one by one.
template <std::size_t L>
[[gnu::always_inline]] inline std::size_t correlate_blocks(const double* x, const double* y, std::size_t windows,
                                                           std::size_t w, double* out) {
    constexpr std::size_t U = 4;
    constexpr std::size_t block = U * L;
    std::size_t s = 0;
    for (; s + block <= windows; s += block) correlate_block<L, U>(x + s, y + s, w, out + s);
    return s;
}

std::size_t correlate_all_blocks(const double* x, const double* y, std::size_t windows, std::size_t w, double* out) {
    const auto kernel = [&]<std::size_t N>() __attribute__((always_inline)) {
        return correlate_blocks<N>(x, y, windows, w, out);
    };
    return lanes::run<lanes::Level::avx512>(kernel);
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
