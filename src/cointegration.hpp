// Cointegration spread: the least-squares hedge ratio and the centred residuals.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "result.hpp"

namespace valmora {

// The residuals y - (x * beta + alpha), each less their mean, computed on request a stretch at a
// time like the rolling correlations; x and y must outlive this object.
class CentredResiduals {
public:
    CentredResiduals(std::span<const double> x, std::span<const double> y, double beta, double alpha,
                     double mean) noexcept
        : x_(x), y_(y), beta_(beta), alpha_(alpha), mean_(mean) {}
    std::size_t size() const noexcept { return x_.size(); }
    void compute(std::size_t start, std::span<double> out) const;
    std::vector<double> all() const;

private:
    std::span<const double> x_, y_;
    double beta_, alpha_, mean_;
};

struct CointegrationSpread {
    double beta;
    double alpha;
    CentredResiduals spread;
};

// Least-squares fit y ~ alpha + beta * x and the residuals centred on their own mean.
Result<CointegrationSpread> cointegration_spread(std::span<const double> y, std::span<const double> x);

}  // namespace valmora
