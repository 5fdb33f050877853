#include "covariance.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "lanes.hpp"

namespace valmora {
namespace {

// Mean of the diagonal: the level of the scaled identity both shrinkage estimators aim at.
double target_level(const Matrix& s, std::size_t p) {
    const double* v = s.data();
    double trace = 0.0;
    for (std::size_t i = 0; i < p; ++i) trace += v[i * p + i];
    return trace / static_cast<double>(p);
}

// (S_ij (1 - delta) + T_ij delta) * frequency over every entry, T being mu on the diagonal and
// 0.0 elsewhere. Computed in place over S.
Matrix shrink(Matrix s, std::size_t p, double mu, double delta, double frequency) {
    const double keep = 1.0 - delta;
    double* v = s.data();
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            const double target = i == j ? mu : 0.0;
            v[i * p + j] = (v[i * p + j] * keep + target * delta) * frequency;
        }
    }
    return s;
}

double clamp_unit(double x) {
    if (x < 0.0) x = 0.0;
    if (x > 1.0) x = 1.0;
    return x;
}

// Sum over k, then i, then j, from 0.0, of (c_kj c_ki - S_ij)^2: one chain of n p^2 additions.
// The chain is bound by the latency of its additions, so the terms of the next (k, i) row are
// computed in vector lanes in the shadow of the current row's additions.
template <std::size_t N>
[[gnu::always_inline]] inline double squared_deviation_sum(const Matrix& c, const Matrix& s, std::size_t p) {
    using Lanes = lanes::Vec<N>;
    const std::size_t n = c.rows();
    const double* obs = c.data();
    const double* cov = s.data();
    std::vector<double> current(p), next(p);
    for (std::size_t j = 0; j < p; ++j) {
        const double d = obs[j] * obs[0] - cov[j];
        current[j] = d * d;
    }
    double sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t i = 0; i < p; ++i) {
            const double* terms = current.data();
            const bool last_i = i + 1 == p;
            if (last_i && k + 1 == n) {
                for (std::size_t j = 0; j < p; ++j) sum += terms[j];
                break;
            }
            // The row after (k, i): (k, i + 1), or (k + 1, 0) after the last i.
            const double* x = obs + (last_i ? k + 1 : k) * p;
            const std::size_t row = last_i ? 0 : i + 1;
            const double a = x[row];
            const double* srow = cov + row * p;
            double* out = next.data();
            Lanes av;
            lanes::splat(av, a);
            std::size_t j = 0;
            for (; j + N <= p; j += N) {
                Lanes xv, sv;
                lanes::load(xv, x + j);
                lanes::load(sv, srow + j);
                const Lanes d = xv * av - sv;
                lanes::store(out + j, d * d);
                for (std::size_t l = 0; l < N; ++l) sum += terms[j + l];
            }
            for (; j < p; ++j) {
                const double d = x[j] * a - srow[j];
                out[j] = d * d;
                sum += terms[j];
            }
            current.swap(next);
        }
    }
    return sum;
}

VALMORA_LANES_KERNEL(double, b2bar_sum, squared_deviation_sum, (const Matrix& c, const Matrix& s, std::size_t p),
                     (c, s, p))

}  // namespace

Result<Matrix> sample_covariance_matrix(MatrixView data, double frequency) {
    auto centred = centre_complete_observations(data);
    if (!centred.ok()) return centred.error();
    const std::size_t n = centred.value().rows();
    return scaled_cross_product(centred.value(), static_cast<double>(n - 1), frequency);
}

Result<std::pair<Matrix, double>> ledoit_wolf_covariance_matrix(MatrixView data, double frequency) {
    auto centred = centre_complete_observations(data);
    if (!centred.ok()) return centred.error();
    const Matrix& c = centred.value();
    const std::size_t n = c.rows();
    const std::size_t p = c.row(0).size();
    Matrix s = scaled_cross_product(c, static_cast<double>(n), 1.0);
    const double mu = target_level(s, p);

    double d2 = 0.0;
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            const double d = s.data()[i * p + j] - (i == j ? mu : 0.0);
            d2 += d * d;
        }
    }
    double delta = 1.0;  // S already is the target
    if (!(d2 <= 0.0)) {
        const double b2bar = b2bar_sum(c, s, p) / static_cast<double>(std::uint64_t{n} * n);
        // fmin takes the number when the other one is NaN.
        delta = std::fmin(b2bar, d2) / d2;
    }
    Matrix shrunk = shrink(std::move(s), p, mu, delta, frequency);
    return std::pair{std::move(shrunk), clamp_unit(delta)};
}

Result<std::pair<Matrix, double>> oas_covariance_matrix(MatrixView data, double frequency) {
    auto centred = centre_complete_observations(data);
    if (!centred.ok()) return centred.error();
    const std::size_t n = centred.value().rows();
    const std::size_t p = centred.value().row(0).size();
    Matrix s = scaled_cross_product(centred.value(), static_cast<double>(n), 1.0);
    const double mu = target_level(s, p);

    double squares = 0.0;
    for (std::size_t e = 0; e < p * p; ++e) squares += s.data()[e] * s.data()[e];
    const double alpha = squares / static_cast<double>(std::uint64_t{p} * p);
    const double num = mu * mu + alpha;
    const double den = (alpha - (mu * mu) / static_cast<double>(p)) * (static_cast<double>(n) + 1.0);
    // fmin also maps a NaN quotient to 1.
    const double rho = den <= 0.0 ? 1.0 : std::fmin(num / den, 1.0);
    Matrix shrunk = shrink(std::move(s), p, mu, rho, frequency);
    return std::pair{std::move(shrunk), clamp_unit(rho)};
}

Result<Matrix> correlation_to_covariance(MatrixView correlation, std::span<const double> volatility) {
    auto size = check_square(correlation);
    if (!size.ok()) return size.error();
    const std::size_t n = size.value();
    if (volatility.size() != n) return ValidationError{"volatility length must match correlation dimensions"};
    Matrix out = Matrix::filled(n, n, 0.0);
    const double* rho = correlation.data();
    double* r = out.data();
    // No symmetrisation: the row's volatility multiplies first, so (i, j) and (j, i) may differ
    // in the last bit.
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) r[i * n + j] = (rho[i * n + j] * volatility[i]) * volatility[j];
    }
    return out;
}

Result<Matrix> covariance_to_correlation(MatrixView covariance) {
    auto size = check_square(covariance);
    if (!size.ok()) return size.error();
    const std::size_t n = size.value();
    const double* c = covariance.data();
    // A NaN, negative or zero variance gives 0.0, so s is never NaN.
    std::vector<double> sd(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = c[i * n + i];
        sd[i] = std::sqrt(v > 0.0 ? v : 0.0);
    }
    Matrix out = Matrix::filled(n, n, 0.0);
    double* r = out.data();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const double d = sd[i] * sd[j];
            double x = d > 0.0 ? c[i * n + j] / d : 0.0;
            if (x < -1.0) x = -1.0;
            if (x > 1.0) x = 1.0;
            r[i * n + j] = x;
        }
        r[i * n + i] = 1.0;
    }
    return out;
}

}  // namespace valmora
