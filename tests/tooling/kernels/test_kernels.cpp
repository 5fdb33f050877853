// The lane kernels at every instruction set this processor offers, in one process: every level
// gives the bits of every other, NaN payloads and signs included, on shapes around the kernels'
// blocks and tails and on awkward values. Where the Python oracles cannot go (blocks of many
// observations and columns, the grouped Ledoit-Wolf chain, the exact summation's hard cases, factor
// risk over many shapes) each level also meets a plain loop.
// Prints one line per failure and exits non-zero if there was any.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <random>
#include <string_view>
#include <vector>

#include "blocks.hpp"
#include "covariance.hpp"
#include "lanes.hpp"
#include "matrix.hpp"
#include "risk.hpp"
#include "rolling_correlation.hpp"
#include "summation.hpp"
#include "transfer_entropy.hpp"

using namespace valmora;

namespace {

int failures = 0;
const char* level_name = "";

// Bit for bit: a NaN's sign and payload too.
bool same(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

void expect(bool ok, const char* what, std::size_t a, std::size_t b) {
    if (ok) return;
    if (++failures <= 20) std::printf("FAIL [%s] %s (%zu, %zu)\n", level_name, what, a, b);
}

std::mt19937_64 rng(20240607);

// A quiet NaN of either sign with a payload of its own.
double payload_nan() { return std::bit_cast<double>(0x7ff8000000000000ULL | (rng() & 0x800000ffffffffffULL) | 1); }

// Mostly ordinary values; with `awkward`, a sprinkling of NaNs (payloads and signs of their own),
// infinities, signed zeros, subnormals and huge values.
double draw(bool awkward) {
    std::normal_distribution<double> normal;
    if (awkward) {
        switch (rng() % 40) {
            case 0: return payload_nan();
            case 1: return std::numeric_limits<double>::infinity();
            case 2: return -std::numeric_limits<double>::infinity();
            case 3: return 0.0;
            case 4: return 1e300;
            case 5: return -0.0;
            case 6: return 0x1p-1060 * normal(rng);
            case 7: return std::bit_cast<double>(0xfff8000000000000u | (rng() & 0xffff));
            case 8: return std::bit_cast<double>(0x7ff8000000000000u | (rng() & 0xffff));
            default: break;
        }
    }
    return normal(rng);
}

Matrix random_matrix(std::size_t rows, std::size_t cols, bool awkward) {
    Matrix m = Matrix::filled(rows, cols, 0.0);
    for (std::size_t i = 0; i < rows * cols; ++i) m.data()[i] = draw(awkward);
    return m;
}

std::vector<double> random_vector(std::size_t n, bool awkward) {
    std::vector<double> v(n);
    for (double& x : v) x = draw(awkward);
    return v;
}

// ---- every level against the baseline ----

// Runs `compute` at the baseline and at every wider level, and expects the same bits from each
// (a NaN's too with nan_bits).
void at_every_level(const char* what, std::size_t a, const std::function<std::vector<double>()>& compute,
                    bool nan_bits = false) {
    const auto top = static_cast<int>(processors::supported());
    processors::force_level(lanes::Level::baseline);
    const std::vector<double> want = compute();
    for (int l = 1; l <= top; ++l) {
        processors::force_level(static_cast<lanes::Level>(l));
        level_name = processors::kLevelNames[l];
        const std::vector<double> got = compute();
        expect(got.size() == want.size(), what, a, got.size());
        for (std::size_t e = 0; e < got.size() && e < want.size(); ++e)
            expect(nan_bits ? same(got[e], want[e]) : same(got[e], want[e]), what, a, e);
    }
    processors::force_level(processors::supported());
}

std::vector<double> values(const Matrix& m) { return {m.data(), m.data() + m.rows() * m.cols()}; }

void check_rolling() {
    for (std::size_t n : {1u, 5u, 31u, 64u, 200u, 1001u}) {
        for (std::size_t w : {2u, 3u, 7u, 20u, 33u}) {
            for (bool awkward : {false, true}) {
                const auto x = random_vector(n, awkward), y = random_vector(n, awkward);
                at_every_level(
                    "rolling_correlation", n * 100 + w,
                    [&] {
                        const auto series = rolling_correlation(x, y, w).value();
                        // Whole, and in stretches of 7 that start anywhere against the blocks of windows.
                        const auto whole = series.all();
                        std::vector<double> stretched(n);
                        for (std::size_t t = 0; t < n; t += 7)
                            series.compute(t, {stretched.data() + t, std::min<std::size_t>(7, n - t)});
                        for (std::size_t t = 0; t < n; ++t) expect(same(stretched[t], whole[t]), "in stretches", n, t);
                        return whole;
                    },
                    true);
            }
        }
    }
}

void check_covariance() {
    for (std::size_t n : {2u, 3u, 17u, 130u}) {
        for (std::size_t p : {1u, 2u, 3u, 5u, 8u, 13u, 16u, 17u, 33u, 151u}) {
            for (bool awkward : {false, true}) {
                const Matrix data = random_matrix(n, p, awkward);
                if (!centre_complete_observations(data).ok()) continue;
                at_every_level("centring", p, [&] { return values(centre_complete_observations(data).value()); });
                at_every_level("sample", p, [&] { return values(sample_covariance_matrix(data, 1.5).value()); });
                at_every_level("ledoit_wolf", p, [&] {
                    const auto [m, intensity] = ledoit_wolf_covariance_matrix(data, 1.5).value();
                    auto out = values(m);
                    out.push_back(intensity);
                    return out;
                });
                at_every_level("oas", p, [&] {
                    const auto [m, intensity] = oas_covariance_matrix(data, 1.5).value();
                    auto out = values(m);
                    out.push_back(intensity);
                    return out;
                });
            }
        }
    }
}

// Where two NaNs meet, x86-64 and aarch64 give the first operand's, quietened: the plain loops
// follow that rule themselves, so that a kernel that swaps an operation's operands, at every level
// alike, fails against them.
double quiet(double a) { return std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) | 0x0008000000000000ULL); }
double add_first(double a, double b) { return std::isnan(a) ? quiet(a) : std::isnan(b) ? quiet(b) : a + b; }
double mul_first(double a, double b) { return std::isnan(a) ? quiet(a) : std::isnan(b) ? quiet(b) : a * b; }

// b_j <- (w_i L_ij) + b_j, v_r <- (F_rm b_m) + v_r, c_j = b_j v_j, the sums left to right.
std::vector<double> plain_factor_risk(const std::vector<double>& w, const Matrix& l, const Matrix& f,
                                      const std::vector<double>& s) {
    const std::size_t n = l.rows(), k = l.cols();
    std::vector<double> b(k, 0.0), v(k, 0.0), c(k);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < k; ++j) b[j] = add_first(mul_first(w[i], l.data()[i * k + j]), b[j]);
    }
    for (std::size_t r = 0; r < k; ++r) {
        for (std::size_t m = 0; m < k; ++m) v[r] = add_first(mul_first(f.data()[r * k + m], b[m]), v[r]);
    }
    for (std::size_t j = 0; j < k; ++j) c[j] = mul_first(b[j], v[j]);
    double factor = c[0], specific = mul_first(w[0] * w[0], s[0]);
    for (std::size_t j = 1; j < k; ++j) factor = add_first(factor, c[j]);
    for (std::size_t i = 1; i < n; ++i) specific = add_first(specific, mul_first(w[i] * w[i], s[i]));
    c.insert(c.end(), {factor, specific, add_first(factor, specific)});
    return c;
}

void check_risk() {
    for (std::size_t n : {1u, 2u, 7u, 64u, 65u, 300u}) {
        for (std::size_t k : {1u, 2u, 3u, 7u, 8u, 9u, 12u, 16u, 17u, 48u, 50u, 64u, 65u, 130u}) {
            for (bool awkward : {false, true}) {
                const auto w = random_vector(n, awkward), sv = random_vector(n, awkward);
                const Matrix l = random_matrix(n, k, awkward), f = random_matrix(k, k, awkward);
                const auto want = plain_factor_risk(w, l, f, sv);
                at_every_level("factor_risk_decomposition", n * 1000 + k, [&] {
                    FactorRisk r = factor_risk_decomposition(w, l, f, sv).value();
                    r.contributions.insert(r.contributions.end(),
                                           {r.factor_variance, r.specific_variance, r.total_variance});
                    for (std::size_t e = 0; e < want.size(); ++e) {
                        expect(same(r.contributions[e], want[e]), "factor risk against the plain loop", n * 1000 + k,
                               e);
                    }
                    return r.contributions;
                });
            }
        }
    }
}

// The order keys behind transfer entropy's symbols, on series selected whole and on series split
// into buckets, with tails of every length below a vector.
void check_transfer_entropy() {
    for (std::size_t n : {50u, 8191u, 8192u, 20001u}) {
        for (bool awkward : {false, true}) {
            const auto source = random_vector(n, awkward), target = random_vector(n, awkward);
            for (std::uint64_t bins : {3u, 8u, 300u}) {
                at_every_level("transfer_entropy", n * 1000 + bins,
                               [&] { return std::vector<double>{transfer_entropy(source, target, bins, 1).value()}; });
            }
        }
    }
}

// ---- blocks of many observations and columns, against plain loops ----

// Entry (i, j) = ((sum over k from 0.0 of c_ki c_kj) / divisor) * scale, mirrored from j >= i.
std::vector<double> scalar_cross_product(const Matrix& c, double divisor, double scale) {
    const std::size_t n = c.rows(), p = c.cols();
    std::vector<double> s(p * p);
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = i; j < p; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < n; ++k) sum += c.data()[k * p + i] * c.data()[k * p + j];
            s[i * p + j] = s[j * p + i] = (sum / divisor) * scale;
        }
    }
    return s;
}

// The Ledoit-Wolf intensity is the chain over the population covariance.
void check_ledoit_wolf(const Matrix& data, const Matrix& centred) {
    const std::size_t m = centred.rows(), p = centred.cols();
    const auto s = scalar_cross_product(centred, static_cast<double>(m), 1.0);
    double trace = 0.0;
    for (std::size_t i = 0; i < p; ++i) trace += s[i * p + i];
    const double mu = trace / static_cast<double>(p);
    double d2 = 0.0;
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            const double d = s[i * p + j] - (i == j ? mu : 0.0);
            d2 += d * d;
        }
    }
    if (d2 <= 0.0) return;  // the estimator takes the target whole, without the chain
    double chain = 0.0;
    for (std::size_t k = 0; k < m; ++k) {
        const double* c = centred.data() + k * p;
        for (std::size_t i = 0; i < p; ++i) {
            for (std::size_t j = 0; j < p; ++j) {
                const double d = c[j] * c[i] - s[i * p + j];
                chain += d * d;
            }
        }
    }
    const double b2 = chain / static_cast<double>(m * m);
    const double delta = std::clamp(std::fmin(b2, d2) / d2, 0.0, 1.0);
    expect(same(ledoit_wolf_covariance_matrix(data, 1.0).value().second, delta), "ledoit_wolf intensity", m, p);
}

// Columns around the last copied-block width and around multiples of both panel widths (kRows,
// and 4, 8 or 16 by instruction set; 42 is whole A panels only, 40 and 400 whole B panels only),
// up to where B panels come in stretches (p = 400, 530); observations around one and two blocks,
// of the packed panels and of the copied-block tiles. Through the sample covariance, which
// centres while packing, and through the cross-product of a centred matrix, which copies.
void check_cross_product_blocks() {
    using namespace blocks;
    static_assert(kRows == 6 && kMostTiledColumns == 12, "the columns below straddle these");
    std::vector<std::pair<std::size_t, std::size_t>> shapes{{1100, 40}, {300, 530}, {129, 400}};
    for (std::size_t p : {12u, 13u, 23u, 24u, 25u, 42u, 47u, 48u, 49u, 100u, 299u}) {
        const std::size_t kc = packed_block_rows(p);
        for (std::size_t n : {kc - 1, kc, kc + 1, 2 * kc + 1}) shapes.emplace_back(n, p);
    }
    for (std::size_t p : {std::size_t{3}, kMostTiledColumns}) {
        const std::size_t width = (p + kPadding - 1) / kPadding * kPadding + kPadding;
        const std::size_t rows = std::max(kMinBlockRows, kBlockValues / width);
        for (std::size_t n : {rows, rows + 1, 2 * rows + 3}) shapes.emplace_back(n, p);
    }
    for (auto [n, p] : shapes) {
        const bool awkward = p <= 25 && (n + p) % 2 == 1;  // wider rows would all be dropped
        const Matrix data = random_matrix(n, p, awkward);
        auto centred = centre_complete_observations(data);
        if (!centred.ok()) continue;
        const std::size_t m = centred.value().rows();
        const auto want = scalar_cross_product(centred.value(), static_cast<double>(m - 1), 1.5);
        auto got = sample_covariance_matrix(data, 1.5);
        for (std::size_t e = 0; e < p * p; ++e) expect(same(got.value().data()[e], want[e]), "sample blocks", p, e);
        const Matrix copied = scaled_cross_product(centred.value(), static_cast<double>(m - 1), 1.5);
        for (std::size_t e = 0; e < p * p; ++e) expect(same(copied.data()[e], want[e]), "cross-product blocks", p, e);
    }
    // The Ledoit-Wolf chain takes observations a group of lanes at a time: columns around the
    // lane counts, observations around the groups, and columns one stretch and three long.
    // Columns scaled apart, so that the intensity is below 1 and shows the chain's bits; in
    // eighths too, where ties are common, each sending its observation to the chain in order.
    const std::size_t stretch = kChainStretchBytes / (sizeof(double) * kChainGroupVectors * kChainMostLanes);
    const std::pair<std::size_t, std::size_t> chains[] = {{2, 3},    {9, 7},   {17, 8},    {33, 9},
                                                          {100, 16}, {65, 17}, {147, 181}, {20, stretch + 3}};
    for (auto [n, p] : chains) {
        for (bool eighths : {false, true}) {
            Matrix data = random_matrix(n, p, false);
            for (std::size_t e = 0; e < n * p; ++e) {
                double& v = data.data()[e];
                if (eighths) v = std::round(v * 8.0) / 8.0;
                v *= static_cast<double>(1 + e % p % 5);
            }
            check_ledoit_wolf(data, centre_complete_observations(data).value());
        }
    }
}

// ---- the exact summation against the chain, over families built to break it ----

double chain(double s, const std::vector<double>& t) {
    for (double v : t) s += v;
    return s;
}

struct Family {
    const char* name;
    bool nonnegative;  // also fit for add_nonnegative_in_order
    double start;
    std::vector<double> terms;
};

double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
std::size_t below(std::size_t n) { return static_cast<std::size_t>(rng() % n); }

// Lengths around the block and lane sizes, so that tails of every length are met.
std::size_t length() {
    static const std::size_t lengths[] = {0, 1, 7, 31, 32, 33, 64, 255, 511, 512, 513, 1023, 1500, 2048, 5000};
    return lengths[below(std::size(lengths))];
}

std::vector<Family> summation_families() {
    std::vector<Family> out;
    // Halves at every position: integers on a sum whose spacing is 1, one exact half somewhere.
    for (std::size_t at = 0; at < 1100; at += 37) {
        const std::size_t n = 1100;
        Family f{"half", true, 0x1p52 + static_cast<double>(below(1000)), std::vector<double>(n)};
        for (double& v : f.terms) v = static_cast<double>(below(4));
        f.terms[at] = static_cast<double>(below(5)) + 0.5;
        out.push_back(f);
        Family g = f;
        g.name = "half, signed";
        g.nonnegative = false;
        for (double& v : g.terms) v = below(2) ? v : -v;
        out.push_back(g);
        // The same at a spacing of 2^-50 around 1.0.
        Family h{"half at 2^-50", true, 1.0 + 0x1p-50 * static_cast<double>(below(64)), std::vector<double>(n)};
        for (double& v : h.terms) v = 0x1p-50 * static_cast<double>(below(3));
        h.terms[at] = 0x1p-51 * static_cast<double>(2 * below(3) + 1);
        out.push_back(h);
    }
    // The sum touching the bottom of its binade, then a small negative term: below 2^E the
    // spacing halves, so 1 - 0.3 u rounds to 1 - u / 2, not back to 1.
    // And a term below -B / 2, which C + t rounds on the finer spacing below C's binade.
    for (double scale : {1.0, 0x1p-20, 0x1p40}) {
        for (std::size_t at = 0; at < 1100; at += 97) {
            const double u = 0x1p-52 * scale;
            Family floor{"touching the binade floor", false, scale + 4.0 * u, std::vector<double>(1100, 0.0)};
            floor.terms[at] = -4.0 * u;
            if (at + 1 < 1100) floor.terms[at + 1] = -0.3 * u;
            if (at + 2 < 1100) floor.terms[at + 2] = 7.0 * u;
            out.push_back(floor);
            Family half_sum{"a term of half the sum", false, 1.875 * scale, std::vector<double>(1100, 0.0)};
            half_sum.terms[at] = (-0.625 + 0x1p-53) * scale;
            if (at + 1 < 1100) half_sum.terms[at + 1] = 0.75 * u;
            out.push_back(half_sum);
        }
    }
    for (int rep = 0; rep < 6; ++rep) {
        const std::size_t n = length();
        // Sums growing through many binades, and shrinking back.
        Family up{"binades up", true, 0.0, std::vector<double>(n)};
        for (std::size_t i = 0; i < n; ++i) up.terms[i] = std::ldexp(uniform(0.5, 1.0), static_cast<int>(i / 40));
        out.push_back(up);
        Family down{"binades down", false, chain(0.0, up.terms), up.terms};
        for (double& v : down.terms) v = -v;
        out.push_back(down);
        Family both{"binades up and down", false, 1.0, std::vector<double>(n)};
        for (std::size_t i = 0; i < n; ++i) both.terms[i] = (i / 300) % 2 ? -uniform(0.0, 3.0) : uniform(0.0, 3.0);
        out.push_back(both);
        // Zero and -0.0 starts, with -0.0 and zero terms.
        for (double start : {0.0, -0.0}) {
            Family z{"signed zeros", true, start, std::vector<double>(n)};
            for (double& v : z.terms) v = below(2) ? -0.0 : 0.0;
            out.push_back(z);
            Family zz{"zero start", true, start, std::vector<double>(n)};
            for (double& v : zz.terms) v = below(3) == 0 ? -0.0 : uniform(0.0, 1.0);
            out.push_back(zz);
        }
        // Subnormal terms, on subnormal and on normal sums.
        Family sub{"subnormal", false, 0.0, std::vector<double>(n)};
        for (double& v : sub.terms) v = uniform(-1.0, 1.0) * 0x1p-1060;
        out.push_back(sub);
        Family sub_pos{"subnormal, nonnegative", true, 0x1p-1020, std::vector<double>(n)};
        for (double& v : sub_pos.terms) v = uniform(0.0, 1.0) * 0x1p-1030;
        out.push_back(sub_pos);
        Family tiny{"normal sum, subnormal terms", false, 0x1p-1000, std::vector<double>(n)};
        for (double& v : tiny.terms) v = uniform(-1.0, 1.0) * 0x1p-1070;
        out.push_back(tiny);
        // Huge terms, overflow, infinities and NaN somewhere.
        Family huge{"huge", true, 1e300, std::vector<double>(n)};
        for (double& v : huge.terms) v = uniform(0.0, 1e306);
        out.push_back(huge);
        for (double bad : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN(), 1e308}) {
            Family f{"inf or NaN", bad >= 0.0 || std::isnan(bad), 1.0, std::vector<double>(n)};
            for (double& v : f.terms) v = uniform(0.0, 2.0);
            if (n > 0) f.terms[below(n)] = bad;
            out.push_back(f);
        }
        // Mixed signs with cancellation: deviations from their own mean, on a large start.
        Family mixed{"cancellation", false, uniform(-1e3, 1e3), random_vector(n, false)};
        const double mean = n > 0 ? chain(0.0, mixed.terms) / static_cast<double>(n) : 0.0;
        for (double& v : mixed.terms) v -= mean;
        out.push_back(mixed);
        Family drift{"mixed signs, drifting", false, 100.0, std::vector<double>(n)};
        for (double& v : drift.terms) v = uniform(-1.0, 1.5);
        out.push_back(drift);
        // Exact binary fractions, where ties are common.
        Family eighths{"eighths", true, 0.0, std::vector<double>(n)};
        for (double& v : eighths.terms) v = static_cast<double>(below(64)) / 8.0;
        out.push_back(eighths);
        Family eighths_signed{"eighths, signed", false, 1024.0, std::vector<double>(n)};
        for (double& v : eighths_signed.terms) v = (static_cast<double>(below(64)) - 31.0) / 8.0;
        out.push_back(eighths_signed);
        Family big_eighths{"eighths on 2^50", true, 0x1p50, std::vector<double>(n)};
        for (double& v : big_eighths.terms) v = static_cast<double>(below(64)) / 8.0;
        out.push_back(big_eighths);
        // Constant terms.
        for (double c : {0.1, 1.0 / 3.0, 3.0, 0.125, 1e-300, -0.7})
            out.push_back({"constant", c >= 0.0, 0.0, std::vector<double>(n, c)});
    }
    // Every family mirrored: rounding to nearest is symmetric, the code's sign handling is not.
    const std::size_t count = out.size();
    for (std::size_t i = 0; i < count; ++i) {
        Family m = out[i];
        m.nonnegative = false;
        m.start = -m.start;
        for (double& v : m.terms) v = -v;
        out.push_back(std::move(m));
    }
    return out;
}

void check_summation() {
    for (const Family& f : summation_families()) {
        const double want = chain(f.start, f.terms);
        const double got = summation::add_in_order(f.start, f.terms.data(), f.terms.size());
        expect(same(got, want) && std::signbit(got) == std::signbit(want), f.name, f.terms.size(), 0);
        if (f.nonnegative) {
            const double got_nonneg = summation::add_nonnegative_in_order(f.start, f.terms.data(), f.terms.size());
            expect(same(got_nonneg, want) && std::signbit(got_nonneg) == std::signbit(want), f.name, f.terms.size(), 1);
        }
        // Beside the family, its terms in reverse: two chains that fail and succeed at other blocks.
        const std::vector<double> reversed(f.terms.rbegin(), f.terms.rend());
        const double want_reversed = chain(f.start, reversed);
        double a = f.start, b = f.start;
        summation::add_two_in_order(a, f.terms.data(), b, reversed.data(), f.terms.size());
        expect(same(a, want) && std::signbit(a) == std::signbit(want), f.name, f.terms.size(), 2);
        expect(same(b, want_reversed) && std::signbit(b) == std::signbit(want_reversed), f.name, f.terms.size(), 3);
    }
}

// Every kernel once at the level VALMORA_KERNEL_LEVEL asks for, unforced: .ci/levels counts under a
// debugger which builds run.
int run_as_asked() {
    if (const char* refused = processors::environment_error()) {
        std::printf("%s\n", refused);
        return 2;
    }
    std::printf("level %s\n", processors::kLevelNames[static_cast<int>(processors::level())]);
    auto x = random_vector(300, false), y = random_vector(300, false);
    x[100] = std::numeric_limits<double>::quiet_NaN();
    y[102] = std::numeric_limits<double>::infinity();  // NaN beside an infinity: their kinds are looked at
    (void)rolling_correlation(x, y, 7).value().all();
    (void)transfer_entropy(random_vector(9000, false), random_vector(9000, false), 8, 1).value();
    (void)factor_risk_decomposition(random_vector(300, false), random_matrix(300, 20, false),
                                    random_matrix(20, 20, false), random_vector(300, false));
    (void)summation::add_in_order(1.0, x.data() + 110, 190);
    for (std::size_t p : {5u, 40u, 130u, 160u}) (void)ledoit_wolf_covariance_matrix(random_matrix(200, p, false), 1.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--as-asked") return run_as_asked();
    check_rolling();
    check_covariance();
    check_risk();
    check_transfer_entropy();
    std::printf("levels compared\n");
    for (int l = 0; l <= static_cast<int>(processors::supported()); ++l) {
        processors::force_level(static_cast<lanes::Level>(l));
        level_name = processors::kLevelNames[l];
        check_cross_product_blocks();
        check_summation();
        std::printf("%s: checked\n", level_name);
    }
    std::printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
