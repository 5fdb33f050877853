// Transfer entropy from one series to another over quantile bins.
#pragma once

#include <cstdint>
#include <span>

#include "result.hpp"

namespace valmora {

// Transfer entropy from source to target `lag` steps ahead, in nats, never negative. With few
// bins, the memory that grows with the series is one byte per symbol.
Result<double> transfer_entropy(std::span<const double> source, std::span<const double> target, std::uint64_t bins,
                                std::uint64_t lag);

}  // namespace valmora
