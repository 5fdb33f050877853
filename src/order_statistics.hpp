// Order statistics: where each value of a series stands against the values at chosen positions
// of its ascending order, without sorting it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace valmora {

// Writes reached[i], the number of order statistics of `values` at the wanted positions
// (ascending, distinct, each below values.size()) that are <= values[i]: with the quantile
// positions, the symbol of each value. The order statistics are what a full sort by < would put
// at those positions, NaNs last; a NaN is <= nothing, so it reaches 0 and no NaN statistic is
// reached. The cost is n log(positions), not n log n, and only the values near a wanted position
// are stored. Symbol is std::uint8_t (at most 255 positions) or std::uint64_t.
template <class Symbol>
void order_statistics_reached(std::span<const double> values, const std::vector<std::size_t>& wanted, Symbol* reached);

}  // namespace valmora
