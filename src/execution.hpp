// Execution analytics: order schedules, market impact and liquidation trajectories.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "result.hpp"

namespace valmora {

// `periods` equal slices, made on request a stretch at a time like the rolling correlations:
// a long schedule is never held but as its result list.
class EqualSlices {
public:
    EqualSlices(std::uint64_t periods, double slice) noexcept : periods_(periods), slice_(slice) {}
    std::uint64_t size() const noexcept { return periods_; }
    double slice() const noexcept { return slice_; }
    void compute(std::size_t, std::span<double> out) const {
        for (double& v : out) v = slice_;
    }

private:
    std::uint64_t periods_;
    double slice_;
};

// `periods` equal slices of total_quantity / periods.
Result<EqualSlices> twap_schedule(double total_quantity, std::uint64_t periods);

// Slices (v_i * total_quantity) / total, made on request a stretch at a time; the curve must
// outlive this object.
class VolumeSlices {
public:
    VolumeSlices(std::span<const double> curve, double quantity, double total) noexcept
        : curve_(curve), quantity_(quantity), total_(total) {}
    std::size_t size() const noexcept { return curve_.size(); }
    void compute(std::size_t start, std::span<double> out) const;

private:
    std::span<const double> curve_;
    double quantity_, total_;
};

// Slices proportional to the volumes. The curve is only read, so a stopped call can start over.
Result<VolumeSlices> vwap_schedule(double total_quantity, std::span<const double> volume_curve);

// (spread cost, temporary impact cost, permanent impact cost, total cost); only the sign-free
// size of the order counts.
Result<std::array<double, 4>> almgren_chriss_market_impact(double quantity, double volatility, double daily_volume,
                                                           double spread, double temporary_impact,
                                                           double permanent_impact);

struct Trajectory {
    std::vector<double> holdings;  // periods + 1 values, the last exactly 0.0
    std::vector<double> trades;    // periods values, trades[i] = holdings[i] - holdings[i + 1]
};

// Linear liquidation at zero risk aversion, exponential decay above it. Throws std::length_error
// or std::bad_alloc when the vectors cannot be allocated.
Result<Trajectory> optimal_execution_trajectory(double total_quantity, std::uint64_t periods, double risk_aversion);

}  // namespace valmora
