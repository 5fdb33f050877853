#include "execution.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <stdexcept>

#include "lanes.hpp"
#include "stop.hpp"
#include "summation.hpp"

namespace valmora {

Result<EqualSlices> twap_schedule(double total_quantity, std::uint64_t periods) {
    if (periods == 0) return ValidationError{"periods must be positive"};
    // One division for the whole schedule; no remainder goes to the last slice.
    return EqualSlices(periods, total_quantity / static_cast<double>(periods));
}

Result<VolumeSlices> vwap_schedule(double total_quantity, std::span<const double> volume_curve) {
    static constexpr ValidationError no_volume{"volume_curve must contain positive total volume"};
    const std::size_t n = volume_curve.size();
    if (n == 0) return no_volume;
    // Every volume is looked at (no early exit), so the test runs in lanes.
    bool negative = false;
    in_runs(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) negative |= volume_curve[i] < 0.0;  // NaN and -0.0 pass
    });
    if (negative) return no_volume;
    // v_0 + v_1 + ... in index order, with the chain's bits (run by run, the same chain); no
    // volume is negative by now.
    double total = volume_curve[0];
    in_runs(n - 1, [&](std::size_t begin, std::size_t end) {
        total = summation::add_nonnegative_in_order(total, volume_curve.data() + 1 + begin, end - begin);
    });
    if (0.0 >= total) return no_volume;  // a NaN total passes
    // Volume times quantity first, then the division by the total.
    return VolumeSlices(volume_curve, total_quantity, total);
}

// Two at a time, the volume first in each product: the compiler's own vectors would be free to
// swap the operands.
void VolumeSlices::compute(std::size_t start, std::span<double> out) const {
    using Pair = lanes::Vec<2>;
    Pair quantity, total;
    lanes::splat(quantity, quantity_);
    lanes::splat(total, total_);
    std::size_t i = 0;
    for (; i + 2 <= out.size(); i += 2) {
        Pair v;
        lanes::load(v, curve_.data() + start + i);
        lanes::mul(v, v, quantity);
        lanes::store(out.data() + i, v / total);
    }
    for (; i < out.size(); ++i) out[i] = lanes::mul(curve_[start + i], quantity_) / total_;
}

Result<std::array<double, 4>> almgren_chriss_market_impact(double quantity, double volatility, double daily_volume,
                                                           double spread, double temporary_impact,
                                                           double permanent_impact) {
    if (0.0 >= daily_volume) return ValidationError{"daily_volume must be positive"};  // NaN passes
    const double size = std::fabs(quantity);
    const double participation = size / daily_volume;
    // Every product and sum with its operands as written: they decide which NaN comes out.
    using lanes::add, lanes::mul;
    const double spread_cost = mul(0.5, mul(size, spread));
    const double temporary = mul(participation, mul(volatility, mul(temporary_impact, size)));
    const double permanent = mul(std::sqrt(participation), mul(mul(permanent_impact, size), volatility));
    const double total = add(add(temporary, spread_cost), permanent);
    return std::array<double, 4>{spread_cost, temporary, permanent, total};
}

Result<Trajectory> optimal_execution_trajectory(double total_quantity, std::uint64_t periods, double risk_aversion) {
    if (periods == 0) return ValidationError{"periods must be positive"};
    if (0.0 > risk_aversion) return ValidationError{"risk_aversion must be non-negative"};  // -0.0 and NaN pass

    // periods + 1 must not wrap (2^64 - 1 is a valid size) nor exceed what a vector can hold.
    Trajectory path;
    if (periods >= path.holdings.max_size()) {
        throw std::length_error("periods too large for the trajectory");
    }
    const std::size_t n = static_cast<std::size_t>(periods);
    path.holdings.reserve(n + 1);
    path.trades.reserve(n);

    const double nd = static_cast<double>(periods);
    const double x = total_quantity;
    // Below 2^-26 the differences exp(-k j/N) - exp(-k) and 1 - exp(-k) lose up to all their digits
    // (a period may trade nothing); expm1 keeps them. Below 2^-52 the exponential form is within
    // rounding of its linear limit, and exp(-k) may round to 1 (0/0). NaN compares false: linear.
    // The first exponent is taken as exactly 0: the same bits for every finite risk aversion, and X
    // rather than 0 * inf = NaN at +infinity.
    // An exponential a step: runs of 2^16 take about a millisecond.
    constexpr std::size_t kExpRun = std::size_t{1} << 16;
    if (risk_aversion >= 0x1p-26) {
        const double e = std::exp(-risk_aversion);
        const double denominator = 1.0 - e;
        path.holdings.push_back(((1.0 - e) * x) / denominator);
        in_runs(
            n,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t j = begin + 1; j <= end; ++j) {
                    const double jd = static_cast<double>(j);
                    path.holdings.push_back(((std::exp((jd / nd) * -risk_aversion) - e) * x) / denominator);
                }
            },
            kExpRun);
    } else if (risk_aversion >= 0x1p-52) {
        // e is exp(-k) - 1, and 1 - exp(-k) is 0.0 - e, a subtraction like the one it stands for:
        // written -e, the compiler moves the negation onto the numerator, a NaN X's sign with it.
        const double e = std::expm1(-risk_aversion);
        const double denominator = 0.0 - e;
        path.holdings.push_back(((0.0 - e) * x) / denominator);
        in_runs(
            n,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t j = begin + 1; j <= end; ++j) {
                    const double jd = static_cast<double>(j);
                    path.holdings.push_back(((std::expm1((jd / nd) * -risk_aversion) - e) * x) / denominator);
                }
            },
            kExpRun);
    } else {
        in_runs(n + 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t j = begin; j < end; ++j) {
                const double jd = static_cast<double>(j);
                path.holdings.push_back((1.0 - jd / nd) * x);
            }
        });
    }
    path.holdings[n] = 0.0;
    in_runs(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) path.trades.push_back(path.holdings[i] - path.holdings[i + 1]);
    });
    return path;
}

}  // namespace valmora
