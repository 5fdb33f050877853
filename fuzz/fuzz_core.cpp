// libFuzzer harness for the numerical core: plain C++ values straight from the fuzzer's bytes,
// no interpreter. Every routine must either fail with a message or return a result that keeps
// its invariants; any violation traps, and the sanitizers catch the rest.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "covariance.hpp"
#include "lanes.hpp"
#include "execution.hpp"
#include "matrix.hpp"
#include "risk.hpp"
#include "summation.hpp"
#include "cointegration.hpp"
#include "rolling_correlation.hpp"
#include "transfer_entropy.hpp"

using namespace valmora;

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Any double, with the awkward ones (NaN, infinities, signed zeros, subnormals) well represented.
double take_double(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: return std::nan("");
        case 1: return in.ConsumeBool() ? INFINITY : -INFINITY;
        case 2: return in.ConsumeBool() ? 0.0 : -0.0;
        case 3: return in.ConsumeIntegralInRange<int>(-3, 3);
        case 4: return in.ConsumeFloatingPointInRange<double>(-1.0, 1.0);
        default: {
            std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
            double v;
            std::memcpy(&v, &bits, sizeof v);
            return v;
        }
    }
}

std::vector<double> take_vector(FuzzedDataProvider& in, std::size_t max_len = 64) {
    std::vector<double> v(in.ConsumeIntegralInRange<std::size_t>(0, max_len));
    for (double& x : v) x = take_double(in);
    return v;
}

// Rows as the binding may deliver them: row i is values[starts[i]] up to values[starts[i + 1]].
struct Rows {
    std::vector<double> values;
    std::vector<std::size_t> starts{0};
    operator MatrixView() const noexcept { return {values.data(), starts.data(), starts.size() - 1}; }
};

// Usually rectangular, sometimes ragged or empty.
Rows take_matrix(FuzzedDataProvider& in, std::size_t rows, std::size_t cols) {
    Rows m;
    const bool ragged = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t width = ragged ? in.ConsumeIntegralInRange<std::size_t>(0, cols + 1) : cols;
        for (std::size_t c = 0; c < width; ++c) m.values.push_back(take_double(in));
        m.starts.push_back(m.values.size());
    }
    return m;
}

Rows take_any_matrix(FuzzedDataProvider& in) {
    const auto rows = in.ConsumeIntegralInRange<std::size_t>(0, 24);
    const auto cols = in.ConsumeIntegralInRange<std::size_t>(0, 12);
    return take_matrix(in, rows, cols);
}

// Small counts mostly; near 2^64 sometimes, where the routine must not allocate by the count.
std::uint64_t take_size(FuzzedDataProvider& in, bool huge_allowed) {
    if (huge_allowed && in.ConsumeIntegralInRange<int>(0, 7) == 0) {
        return ~std::uint64_t{0} - in.ConsumeIntegralInRange<std::uint64_t>(0, 3);
    }
    return in.ConsumeIntegralInRange<std::uint64_t>(0, 80);
}

template <class T>
bool failed_cleanly(const Result<T>& r) {
    if (r.ok()) return false;
    require(r.error().message != nullptr && r.error().message[0] != '\0');
    return true;
}

void require_square(const Matrix& m, std::size_t n) { require(m.rows() == n && m.cols() == n); }

void require_symmetric(const Matrix& m) {
    for (std::size_t i = 0; i < m.rows(); ++i) {
        for (std::size_t j = 0; j < m.rows(); ++j) require(same_bits(m.row(i)[j], m.row(j)[i]));
    }
}

void require_intensity(double delta) { require(std::isnan(delta) || (delta >= 0.0 && delta <= 1.0)); }

void covariance(FuzzedDataProvider& in, int which) {
    const Rows data = take_any_matrix(in);
    const double frequency = take_double(in);
    const std::size_t cols = data.starts.size() > 1 ? data.starts[1] : 0;
    if (which == 0) {
        auto r = sample_covariance_matrix(data, frequency);
        if (failed_cleanly(r)) return;
        require_square(r.value(), cols);
        require_symmetric(r.value());
        return;
    }
    auto r = which == 1 ? ledoit_wolf_covariance_matrix(data, frequency) : oas_covariance_matrix(data, frequency);
    if (failed_cleanly(r)) return;
    require_square(r.value().first, cols);
    require_symmetric(r.value().first);
    require_intensity(r.value().second);
}

void conversions(FuzzedDataProvider& in, bool to_correlation) {
    const auto n = in.ConsumeIntegralInRange<std::size_t>(0, 10);
    const Rows m = take_matrix(in, n, in.ConsumeBool() ? n : in.ConsumeIntegralInRange<std::size_t>(0, 10));
    if (to_correlation) {
        auto r = covariance_to_correlation(m);
        if (failed_cleanly(r)) return;
        require_square(r.value(), n);
        for (std::size_t i = 0; i < n; ++i) {
            require(r.value().row(i)[i] == 1.0);
            for (double x : r.value().row(i)) require(std::isnan(x) || (x >= -1.0 && x <= 1.0));
        }
        return;
    }
    const std::vector<double> vol = take_vector(in, 12);
    auto r = correlation_to_covariance(m, vol);
    if (failed_cleanly(r)) return;
    require_square(r.value(), vol.size());
}

void series(FuzzedDataProvider& in, int which) {
    std::vector<double> x = take_vector(in);
    std::vector<double> y = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? take_vector(in) : x;
    if (y.size() == x.size()) {
        for (double& v : y) v = in.ConsumeBool() ? take_double(in) : v;
    }
    if (which == 0) {
        const std::uint64_t window = take_size(in, true);
        auto r = rolling_correlation(x, y, window);
        if (failed_cleanly(r)) return;
        require(r.value().size() == x.size());
        const auto values = r.value().all();
        for (std::size_t i = 0; i + 1 < window && i < x.size(); ++i) require(std::isnan(values[i]));
    } else if (which == 1) {
        auto r = cointegration_spread(y, x);
        if (failed_cleanly(r)) return;
        require(r.value().spread.size() == x.size() && r.value().spread.all().size() == x.size());
    } else {
        const std::uint64_t bins = take_size(in, false);
        const std::uint64_t lag = take_size(in, true);
        auto r = transfer_entropy(x, y, bins, lag);
        if (failed_cleanly(r)) return;
        require(r.value() >= 0.0);  // never negative, never NaN
    }
}

void execution(FuzzedDataProvider& in, int which) {
    const double quantity = take_double(in);
    if (which == 0) {
        const std::uint64_t periods = take_size(in, false);
        auto r = twap_schedule(quantity, periods);
        if (failed_cleanly(r)) return;
        require(r.value().size() == periods);
    } else if (which == 1) {
        const std::vector<double> curve = take_vector(in);
        auto r = vwap_schedule(quantity, curve);
        if (failed_cleanly(r)) return;
        require(r.value().size() == curve.size());
    } else if (which == 2) {
        auto r = almgren_chriss_market_impact(quantity, take_double(in), take_double(in), take_double(in),
                                              take_double(in), take_double(in));
        (void)failed_cleanly(r);
    } else {
        const std::uint64_t periods = take_size(in, false);
        auto r = optimal_execution_trajectory(quantity, periods, take_double(in));
        if (failed_cleanly(r)) return;
        require(r.value().holdings.size() == periods + 1 && r.value().trades.size() == periods);
        require(r.value().holdings.back() == 0.0);
    }
}

void risk(FuzzedDataProvider& in) {
    const auto n = in.ConsumeIntegralInRange<std::size_t>(0, 12);
    const auto k = in.ConsumeIntegralInRange<std::size_t>(0, 12);
    const bool honest = in.ConsumeIntegralInRange<int>(0, 7) != 0;
    const std::vector<double> weights = honest ? std::vector<double>(n) : take_vector(in, 13);
    const Rows loadings = take_matrix(in, n, k);
    const Rows covariance = take_matrix(in, k, honest ? k : in.ConsumeIntegralInRange<std::size_t>(0, 13));
    std::vector<double> specific = honest ? std::vector<double>(n) : take_vector(in, 13);
    std::vector<double> w = weights;
    for (double& v : w) v = take_double(in);
    for (double& v : specific) v = take_double(in);
    auto r = factor_risk_decomposition(w, loadings, covariance, specific);
    if (failed_cleanly(r)) return;
    require(r.value().contributions.size() == k);
}

// A term on a grid of 2^k, with few bits so that ties and exact binade edges are common, or any double.
double take_term(FuzzedDataProvider& in, int grid) {
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) return take_double(in);
    return std::ldexp(static_cast<double>(in.ConsumeIntegralInRange<int>(-40, 40)), grid);
}

// The exact sums against the chain they replace, bit for bit.
void exact_sums(FuzzedDataProvider& in) {
    const int grid = in.ConsumeIntegralInRange<int>(-1074, 1000);
    const double start = in.ConsumeBool() ? take_double(in)
                                          : std::ldexp(static_cast<double>(in.ConsumeIntegralInRange<std::int64_t>(
                                                           -(std::int64_t{1} << 56), std::int64_t{1} << 56)),
                                                       grid);
    std::vector<double> terms(in.ConsumeIntegralInRange<std::size_t>(0, 600));
    bool nonnegative = true;
    for (double& t : terms) {
        t = take_term(in, grid);
        nonnegative &= !(t < 0.0);
    }
    double want = start;
    for (double t : terms) want += t;
    // At every instruction set, not only the widest.
    for (int level = 0; level <= static_cast<int>(processors::supported()); ++level) {
        processors::force_level(static_cast<lanes::Level>(level));
        require(same_bits(summation::add_in_order(start, terms.data(), terms.size()), want));
        if (nonnegative)
            require(same_bits(summation::add_nonnegative_in_order(start, terms.data(), terms.size()), want));
    }
    processors::force_level(lanes::Level::avx512);
}

// The cross-product against the plain loop, bit for bit at every instruction set, at shapes that
// reach the packed panels and span their blocks: values cycled from a short fuzzed pool.
void cross_products(FuzzedDataProvider& in) {
    const auto n = in.ConsumeIntegralInRange<std::size_t>(2, 1100);
    const auto p = in.ConsumeIntegralInRange<std::size_t>(1, 40);
    std::vector<double> pool = take_vector(in, 32);
    if (pool.empty()) pool.push_back(1.0);
    Matrix data = Matrix::filled(n, p, 0.0);
    for (std::size_t e = 0; e < n * p; ++e) data.data()[e] = pool[(e * 7 + e / p) % pool.size()];
    const double scale = take_double(in);
    auto centred = centre_complete_observations(data);
    if (failed_cleanly(centred)) return;
    const Matrix& c = centred.value();
    const std::size_t m = c.rows();
    std::vector<double> want(p * p);
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = i; j < p; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < m; ++k) sum += c.data()[k * p + i] * c.data()[k * p + j];
            want[i * p + j] = want[j * p + i] = (sum / static_cast<double>(m - 1)) * scale;
        }
    }
    for (int level = 0; level <= static_cast<int>(processors::supported()); ++level) {
        processors::force_level(static_cast<lanes::Level>(level));
        auto sample = sample_covariance_matrix(data, scale);
        const Matrix copied = scaled_cross_product(c, static_cast<double>(m - 1), scale);
        for (std::size_t e = 0; e < p * p; ++e) {
            require(same_bits(sample.value().data()[e], want[e]) && same_bits(copied.data()[e], want[e]));
        }
    }
    processors::force_level(lanes::Level::avx512);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
        case 0:
        case 1:
        case 2: covariance(in, in.ConsumeIntegralInRange<int>(0, 2)); break;
        case 3: conversions(in, true); break;
        case 4: conversions(in, false); break;
        case 5:
        case 6:
        case 7: series(in, in.ConsumeIntegralInRange<int>(0, 2)); break;
        case 8:
        case 9:
        case 10: execution(in, in.ConsumeIntegralInRange<int>(0, 3)); break;
        case 13:
        case 14: exact_sums(in); break;
        case 15: cross_products(in); break;
        default: risk(in); break;
    }
    return 0;
}
