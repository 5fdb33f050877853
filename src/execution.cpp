#include "execution.hpp"

namespace valmora {

Result<std::vector<double>> twap_schedule(double total_quantity, std::uint64_t periods) {
    if (periods == 0) return ValidationError{"periods must be positive"};
    // One division for the whole schedule; no remainder goes to the last slice.
    const double slice = total_quantity / static_cast<double>(periods);
    return std::vector<double>(static_cast<std::size_t>(periods), slice);
}

Result<std::vector<double>> vwap_schedule(double total_quantity, std::vector<double> volume_curve) {
    static constexpr ValidationError no_volume{"volume_curve must contain positive total volume"};
    if (volume_curve.empty()) return no_volume;
    for (double v : volume_curve) {
        if (v < 0.0) return no_volume;  // NaN and -0.0 pass
    }
    double total = volume_curve[0];
    for (std::size_t i = 1; i < volume_curve.size(); ++i) total += volume_curve[i];
    if (0.0 >= total) return no_volume;  // a NaN total passes
    // Volume times quantity first, then the division by the total.
    for (double& v : volume_curve) v = (v * total_quantity) / total;
    return volume_curve;
}

}  // namespace valmora
