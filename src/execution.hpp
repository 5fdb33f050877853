// Execution analytics: order schedules, market impact and liquidation trajectories.
#pragma once

#include <cstdint>
#include <vector>

#include "result.hpp"

namespace valmora {

// `periods` equal slices of total_quantity / periods.
Result<std::vector<double>> twap_schedule(double total_quantity, std::uint64_t periods);

// Slices proportional to the volumes; the curve is consumed and returned as the schedule.
Result<std::vector<double>> vwap_schedule(double total_quantity, std::vector<double> volume_curve);

}  // namespace valmora
