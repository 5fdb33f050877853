// Order statistics: the values at chosen positions of a series' ascending order, without
// sorting it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace valmora {

// The value at each wanted position (ascending, distinct, each below values.size()) of `values`
// in ascending order by <, NaNs last: what a full sort would put there, up to the sign of a zero
// (0.0 and -0.0 compare alike against every value). The cost is n log(positions), not n log n,
// and only the values near a wanted position are stored.
std::vector<double> order_statistics(std::span<const double> values, const std::vector<std::size_t>& wanted);

}  // namespace valmora
