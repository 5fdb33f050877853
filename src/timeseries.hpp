// Time-series analytics: rolling correlation, cointegration spread and transfer entropy.
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
        : x_(x), y_(y), w_(window) {}
    std::size_t size() const noexcept { return x_.size(); }
    // The values at positions start, start + 1, ..., start + out.size() - 1.
    void compute(std::size_t start, std::span<double> out) const;
    std::vector<double> all() const;

private:
    std::span<const double> x_, y_;
    std::size_t w_;
};

Result<RollingCorrelation> rolling_correlation(std::span<const double> x, std::span<const double> y,
                                               std::uint64_t window);

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

// Symbol of each value: the number of quantile thresholds at or below it (NaN gets 0).
// Thresholds are kept once per distinct sorted position, so the table never outgrows the values
// whatever `bins` is.
Result<std::vector<std::uint64_t>> quantile_discretise(std::span<const double> values, std::uint64_t bins);

// Transfer entropy from source to target `lag` steps ahead, in nats, never negative. With few
// bins, the memory that grows with the series is one byte per symbol.
Result<double> transfer_entropy(std::span<const double> source, std::span<const double> target, std::uint64_t bins,
                                std::uint64_t lag);

}  // namespace valmora
