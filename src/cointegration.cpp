#include "cointegration.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>
#include <span>

#include "lanes.hpp"
#include "stop.hpp"
#include "summation.hpp"

namespace valmora {

namespace {

// Two lanes, which every processor has, keep the buffer's stores from waiting on each other.
using Pair = lanes::Vec<2>;

// `first` plus the terms 1 .. n-1, added in index order by `add` (one of the chain-exact sums of
// summation.hpp). The terms are made a chunk at a time in a small buffer, two at a time by
// `pair_term(i, out)` (terms i and i + 1) and singly by `term(i)`.
template <class Add, class PairTerm, class Term>
double add_terms(double first, std::size_t n, Add add, PairTerm pair_term, Term term) {
    constexpr std::size_t kChunk = 2048;
    double terms[kChunk];
    double sum = first;
    in_runs(
        n - 1,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = 1 + begin; i < 1 + end; i += kChunk) {
                const std::size_t m = std::min(kChunk, 1 + end - i);
                std::size_t k = 0;
                for (; k + 2 <= m; k += 2) {
                    Pair t;
                    pair_term(i + k, t);
                    lanes::store(terms + k, t);
                }
                for (; k < m; ++k) terms[k] = term(i + k);
                sum = add(sum, terms, m);
            }
        },
        kChunk * 512);
    return sum;
}

}  // namespace

Result<CointegrationSpread> cointegration_spread(std::span<const double> y, std::span<const double> x) {
    const std::size_t n = x.size();
    if (n == 0 || y.size() != n) return ValidationError{"x and y must have the same non-zero length"};
    const double count = static_cast<double>(n);
    // Every sum starts from its first term and adds the rest in index order, with the chain's
    // bits (summation.hpp), run by run.
    double sx = x[0], sy = y[0];
    in_runs(n - 1, [&](std::size_t begin, std::size_t end) {
        summation::add_two_in_order(sx, x.data() + 1 + begin, sy, y.data() + 1 + begin, end - begin);
    });
    const double mean_x = sx / count;
    const double mean_y = sy / count;
    Pair mx, my;
    lanes::splat(mx, mean_x);
    lanes::splat(my, mean_y);
    // Products and sums take their operands as written (lanes::mul, lanes::add): the x side first.
    using lanes::add, lanes::mul;
    const double sxy = add_terms(
        mul(x[0] - mean_x, y[0] - mean_y), n, summation::add_in_order,
        [&](std::size_t i, Pair& out) {
            Pair a, b;
            lanes::load(a, x.data() + i);
            lanes::load(b, y.data() + i);
            mul(out, a - mx, b - my);
        },
        [&](std::size_t i) { return mul(x[i] - mean_x, y[i] - mean_y); });
    const double d0 = x[0] - mean_x;
    const double sxx = add_terms(
        d0 * d0, n, summation::add_nonnegative_in_order,
        [&](std::size_t i, Pair& out) {
            Pair a;
            lanes::load(a, x.data() + i);
            a -= mx;
            out = a * a;
        },
        [&](std::size_t i) {
            const double d = x[i] - mean_x;
            return d * d;
        });
    if (sxx == 0.0) return ValidationError{"x variance must be positive"};
    const double beta = sxy / sxx;
    const double alpha = mean_y - mul(mean_x, beta);
    // The residuals sum to about zero, crossing binades all along: no block would be exact.
    // Each is made again, with the same bits, when the spread is computed.
    double se = y[0] - add(mul(x[0], beta), alpha);
    in_runs(n - 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin + 1; i <= end; ++i) se = add(se, y[i] - add(mul(x[i], beta), alpha));
    });
    return CointegrationSpread{beta, alpha, CentredResiduals(x, y, beta, alpha, se / count)};
}

// Two at a time, with the operands as written, like the sum of the residuals.
void CentredResiduals::compute(std::size_t start, std::span<double> out) const {
    Pair beta, alpha, mean;
    lanes::splat(beta, beta_);
    lanes::splat(alpha, alpha_);
    lanes::splat(mean, mean_);
    std::size_t i = 0;
    for (; i + 2 <= out.size(); i += 2) {
        Pair x, y, fit;
        lanes::load(x, x_.data() + start + i);
        lanes::load(y, y_.data() + start + i);
        lanes::mul(fit, x, beta);
        lanes::add(fit, fit, alpha);
        lanes::store(out.data() + i, (y - fit) - mean);
    }
    for (; i < out.size(); ++i) {
        const std::size_t t = start + i;
        out[i] = (y_[t] - lanes::add(lanes::mul(x_[t], beta_), alpha_)) - mean_;
    }
}

std::vector<double> CentredResiduals::all() const {
    std::vector<double> out(size());
    compute(0, out);
    return out;
}

}  // namespace valmora
