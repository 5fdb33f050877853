// Rolling correlation of two series over a trailing window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "result.hpp"

namespace valmora {

// Pearson correlation of every trailing window of `window` observations, aligned with x;
// NaN where no full window ends, where a window's variance is exactly zero, or where the
// arithmetic itself gives NaN. Every window is summed afresh; no running sums. The values are
// computed on request, a stretch at a time, so a caller that turns each one into something
// else never holds them all twice; x and y are read then, and must outlive this object.
class RollingCorrelation {
public:
    RollingCorrelation(std::span<const double> x, std::span<const double> y, std::size_t window) noexcept
        : x_(x), y_(y), window_(window) {}
    std::size_t size() const noexcept { return x_.size(); }
    // The values at positions start, start + 1, ..., start + out.size() - 1.
    void compute(std::size_t start, std::span<double> out) const;
    std::vector<double> all() const;

private:
    std::span<const double> x_, y_;
    std::size_t window_;
};

Result<RollingCorrelation> rolling_correlation(std::span<const double> x, std::span<const double> y,
                                               std::uint64_t window);

}  // namespace valmora
