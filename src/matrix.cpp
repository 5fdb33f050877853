#include "matrix.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "blocks.hpp"
#include "lanes.hpp"
#include "stop.hpp"

namespace valmora {

Matrix Matrix::filled(std::size_t rows, std::size_t cols, double value) {
    return of_rows(std::vector<double>(rows * cols, value), rows, cols);
}

Matrix Matrix::of_rows(std::vector<double> values, std::size_t rows, std::size_t cols) {
    Matrix m;
    m.values_ = std::move(values);
    m.rows_ = rows;
    m.cols_ = cols;
    return m;
}

Result<Shape> check_shape(MatrixView m) {
    if (m.rows() == 0) return ValidationError{"matrix must not be empty"};
    const std::size_t cols = m.row(0).size();
    if (cols == 0) return ValidationError{"matrix rows must not be empty"};
    if (m.uniform()) return Shape{m.rows(), cols};
    for (std::size_t i = 1; i < m.rows(); ++i) {
        if (m.row(i).size() != cols) return ValidationError{"matrix rows must have equal length"};
    }
    return Shape{m.rows(), cols};
}

Result<std::size_t> check_square(MatrixView m) {
    auto shape = check_shape(m);
    if (!shape.ok()) return shape.error();
    if (shape.value().rows != shape.value().cols) return ValidationError{"matrix must be square"};
    return shape.value().rows;
}

namespace {

// Finite exactly when the magnitude's bit pattern is at most that of the largest finite double.
constexpr long long kMagnitude = 0x7FFFFFFFFFFFFFFFll;
constexpr long long kLargestFinite = 0x7FEFFFFFFFFFFFFFll;

// The column sums of the complete rows so far, and room for them with one more row added: each
// row is added while it is tested, in one pass, and the two change places when it is complete.
struct ColumnSums {
    double* sums;
    double* next;
};

// Lists the complete rows among rows [first, last) of `data` (rows of p) in `kept` and adds each to
// the column sums, which advance together in lanes, each in row order from 0.0.
template <std::size_t N>
[[gnu::always_inline]] inline void find_complete_rows(const double* data, std::size_t first, std::size_t last,
                                                      std::size_t p, std::size_t* kept, std::size_t* count,
                                                      ColumnSums& c) {
    using Lanes = lanes::Vec<N>;
    using Bits = lanes::Bits<N>;
    double* sums = c.sums;
    double* next = c.next;
    std::size_t kept_count = *count;
    for (std::size_t r = first; r < last; ++r) {
        const double* row = data + r * p;
        Bits beyond{};
        std::size_t j = 0;
        for (; j + N <= p; j += N) {
            Lanes m, x;
            lanes::load(m, sums + j);
            lanes::load(x, row + j);
            lanes::store(next + j, m + x);
            beyond |= ((Bits)x & kMagnitude) > kLargestFinite;
        }
        if (j < p) {
            // The lanes past the end of the row test 0.0.
            Bits v{};
            std::memcpy(&v, row + j, (p - j) * sizeof(double));
            beyond |= (v & kMagnitude) > kLargestFinite;
            for (; j < p; ++j) next[j] = sums[j] + row[j];
        }
        bool finite = true;
        for (std::size_t l = 0; l < N; ++l) finite &= beyond[l] == 0;
        if (!finite) continue;
        std::swap(sums, next);
        kept[kept_count++] = r;
    }
    c = {sums, next};
    *count = kept_count;
}

// Eight lanes only on long rows: on an Intel Xeon with AVX-512 (4M values) eight lanes took
// 1.9x the time of four at p = 4 to 12, 1.1-1.2x at 16 to 100, and 0.9-0.97x from 150 on.
void find_complete_long_rows(const double* data, std::size_t first, std::size_t last, std::size_t p, std::size_t* kept,
                             std::size_t* count, ColumnSums& c) {
    const auto kernel = [&]<std::size_t N>() __attribute__((always_inline)) {
        find_complete_rows<N>(data, first, last, p, kept, count, c);
    };
    lanes::run<lanes::Kernel::complete_rows_long>(kernel);
}
void find_complete_short_rows(const double* data, std::size_t first, std::size_t last, std::size_t p, std::size_t* kept,
                              std::size_t* count, ColumnSums& c) {
    const auto kernel = [&]<std::size_t N>() __attribute__((always_inline)) {
        find_complete_rows<N>(data, first, last, p, kept, count, c);
    };
    lanes::run<lanes::Kernel::complete_rows_short>(kernel);
}
constexpr std::size_t kShortestLongRow = 150;

void find_some_complete_rows(const double* data, std::size_t first, std::size_t last, std::size_t p, std::size_t* kept,
                             std::size_t* count, ColumnSums& c) {
    if (p >= kShortestLongRow) return find_complete_long_rows(data, first, last, p, kept, count, c);
    find_complete_short_rows(data, first, last, p, kept, count, c);
}

// Runs of rows of about a million values between polls for a stop.
std::size_t rows_per_run(std::size_t p) { return std::max<std::size_t>(1, (std::size_t{1} << 20) / p); }

// Observation k as the kernels read it: a row of a block, or a complete row of the data less
// the column means.
struct Observations {
    const double* values;
    const std::size_t* rows;  // null: row k is row k of the block
    const double* mean;       // null: already centred
    std::size_t n;
    std::size_t p;
};

Observations as_observations(const Matrix& centred) {
    return {centred.data(), nullptr, nullptr, centred.rows(), centred.cols()};
}
Observations as_observations(const CompleteObservations& o) {
    return {o.values, o.rows.data(), o.mean.data(), o.rows.size(), o.cols};
}

// Writes the p values of observation k to `to`; x - m, as the centring does.
template <std::size_t N>
[[gnu::always_inline]] inline void fetch(const Observations& o, std::size_t k, double* to) {
    using Lanes = lanes::Vec<N>;
    const std::size_t p = o.p;
    const double* x = o.values + (o.rows != nullptr ? o.rows[k] : k) * p;
    if (o.mean == nullptr) {
        std::copy_n(x, p, to);
        return;
    }
    std::size_t j = 0;
    for (; j + N <= p; j += N) {
        Lanes m, v;
        lanes::load(m, o.mean + j);
        lanes::load(v, x + j);
        lanes::store(to + j, v - m);
    }
    for (; j < p; ++j) to[j] = x[j] - o.mean[j];
}

template <std::size_t N>
[[gnu::always_inline]] inline void fetch_some(const Observations& o, std::size_t first, std::size_t last, double* out) {
    for (std::size_t k = first; k < last; ++k) fetch<N>(o, k, out + k * o.p);
}

void fetch_some_observations(const Observations& o, std::size_t first, std::size_t last, double* out) {
    const auto kernel = [&]<std::size_t N>() __attribute__((always_inline)) { fetch_some<N>(o, first, last, out); };
    lanes::run<lanes::Kernel::centred_observations>(kernel);
}

}  // namespace

Result<CompleteObservations> complete_observations(MatrixView data) {
    auto shape = check_shape(data);
    if (!shape.ok()) return shape.error();
    const std::size_t p = shape.value().cols;

    // After the shape check the rows lie back to back, so the data is one row-major block.
    CompleteObservations o{data.data(), p, std::vector<std::size_t>(data.rows()), std::vector<double>(p, 0.0)};
    std::vector<double> next(p);
    ColumnSums c{o.mean.data(), next.data()};
    std::size_t n = 0;
    in_runs(
        data.rows(),
        [&](std::size_t first, std::size_t last) {
            find_some_complete_rows(data.data(), first, last, p, o.rows.data(), &n, c);
        },
        rows_per_run(p));
    if (c.sums != o.mean.data()) std::copy_n(c.sums, p, o.mean.data());
    if (n < 2) return ValidationError{"at least two complete observations are required"};
    o.rows.resize(n);
    // One division per column turns the sums into means.
    for (double& m : o.mean) m /= static_cast<double>(n);
    return o;
}

Matrix centred(const CompleteObservations& observations) {
    const Observations o = as_observations(observations);
    std::vector<double> values(o.n * o.p);
    in_runs(
        o.n, [&](std::size_t first, std::size_t last) { fetch_some_observations(o, first, last, values.data()); },
        rows_per_run(o.p));
    return Matrix::of_rows(std::move(values), o.n, o.p);
}

Result<Matrix> centre_complete_observations(MatrixView data) {
    auto o = complete_observations(data);
    if (!o.ok()) return o.error();
    return centred(o.value());
}

namespace {

// ---- few columns: tiles over a block of copied rows ----

using namespace blocks;

template <std::size_t N>
[[gnu::always_inline]] inline void accumulate_tile(const double* block, std::size_t rows, std::size_t width,
                                                   std::size_t i0, std::size_t j0, double* sums, std::size_t p) {
    using Lanes = lanes::Vec<N>;
    constexpr std::size_t Vecs = kTileVecs;
    constexpr std::size_t cols = Vecs * N;
    // The fixed-size loops are unrolled so that the accumulators live in registers.
    double tile[kTileRows][cols];
#pragma GCC unroll 8
    for (std::size_t r = 0; r < kTileRows; ++r) {
#pragma GCC unroll 8
        for (std::size_t c = 0; c < cols; ++c) {
            const bool inside = i0 + r < p && j0 + c < p;
            tile[r][c] = inside ? sums[(i0 + r) * p + j0 + c] : 0.0;
        }
    }
    Lanes acc[kTileRows][Vecs];
#pragma GCC unroll 8
    for (std::size_t r = 0; r < kTileRows; ++r) {
#pragma GCC unroll 8
        for (std::size_t v = 0; v < Vecs; ++v) lanes::load(acc[r][v], &tile[r][v * N]);
    }
    for (std::size_t k = 0; k < rows; ++k) {
        const double* x = block + k * width;
        Lanes b[Vecs];
#pragma GCC unroll 8
        for (std::size_t v = 0; v < Vecs; ++v) lanes::load(b[v], x + j0 + v * N);
#pragma GCC unroll 8
        for (std::size_t r = 0; r < kTileRows; ++r) {
            // Broadcast straight from the row as an operand of each multiply.
            const double a = x[i0 + r];
#pragma GCC unroll 8
            for (std::size_t v = 0; v < Vecs; ++v) acc[r][v] = acc[r][v] + a * b[v];
        }
    }
#pragma GCC unroll 8
    for (std::size_t r = 0; r < kTileRows; ++r) {
#pragma GCC unroll 8
        for (std::size_t v = 0; v < Vecs; ++v) lanes::store(&tile[r][v * N], acc[r][v]);
    }
    const std::size_t valid_rows = std::min(kTileRows, p - i0);
    const std::size_t valid_cols = std::min(cols, p - j0);
    for (std::size_t r = 0; r < valid_rows; ++r) {
        for (std::size_t c = 0; c < valid_cols; ++c) sums[(i0 + r) * p + j0 + c] = tile[r][c];
    }
}

// Adds c_ki * c_kj for every observation k, in order, to sums(i, j) for j >= i (a few entries
// below the diagonal are carried along and later overwritten by the mirror).
template <std::size_t N>
[[gnu::always_inline]] inline void accumulate_cross_products(const Observations& o, double* sums) {
    const std::size_t n = o.n, p = o.p;
    constexpr std::size_t cols = kTileVecs * N;
    static_assert(kPadding % cols == 0 && kPadding % kTileRows == 0);
    // Tiles start at the vector boundary at or below the diagonal, so the last one of a row may
    // reach up to a tile's width past p: one more padding stretch covers it.
    const std::size_t width = (p + kPadding - 1) / kPadding * kPadding + kPadding;
    const std::size_t block_rows = std::max<std::size_t>(kMinBlockRows, kBlockValues / width);
    std::vector<double> block(std::min(n, block_rows) * width, 0.0);
    for (std::size_t k0 = 0; k0 < n; k0 += block_rows) {
        poll_stop();
        const std::size_t rows = std::min(block_rows, n - k0);
        for (std::size_t k = 0; k < rows; ++k) fetch<N>(o, k0 + k, block.data() + k * width);
        for (std::size_t i0 = 0; i0 < p; i0 += kTileRows) {
            for (std::size_t j0 = i0 / N * N; j0 < p; j0 += cols) {
                accumulate_tile<N>(block.data(), rows, width, i0, j0, sums, p);
            }
        }
    }
}

// Four lanes even where eight are offered: on an Intel Xeon with AVX-512 eight lanes measured
// 0.313 against 0.250 ms at 20000x8 and 0.657 against 0.361 ms at 20000x12, and on an AMD EPYC
// (Zen 4) 17-19% slower at both.
void accumulate_all_cross_products(const Observations& o, double* sums) {
    const auto kernel = [&]<std::size_t N>() __attribute__((always_inline)) { accumulate_cross_products<N>(o, sums); };
    lanes::run<lanes::Kernel::tiled_cross_product>(kernel);
}

Matrix tiled_cross_product(const Observations& o, double divisor, double scale) {
    const std::size_t p = o.p;
    // The zero matrix is the accumulator: every sum starts from 0.0.
    Matrix out = Matrix::filled(p, p, 0.0);
    double* r = out.data();
    accumulate_all_cross_products(o, r);
    // The divisor is applied before the scale, which comes second (its NaN may not be the
    // default one the sums make).
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = i; j < p; ++j) r[i * p + j] = lanes::mul(r[i * p + j] / divisor, scale);
    }
    for (std::size_t j = 0; j < p; ++j) {
        for (std::size_t i = j + 1; i < p; ++i) r[i * p + j] = r[j * p + i];
    }
    return out;
}

// ---- many columns: packed panels ----
//
// For each block of kc observations the centred columns are packed once, into panels of 2 N
// columns, each panel kc observations of contiguous values, zero past column p. A tile of
// kRows x 2 N sums is then one register tile: per observation two vector loads from its column
// panel, a broadcast of each of its kRows row values (read from the panels too, at most two of
// them), kRows * 2 multiplies and as many additions. The tiles that reach the upper triangle
// keep their sums in the result itself, loaded and stored once per block, so that every sum is
// one chain over the observations in order, from the result's 0.0; tiles that reach past column
// p keep theirs in a buffer beside it.

// The sums of one tile over a block, V of its two column vectors: both, or one half of the panel
// (b and tile then start at that half).
template <std::size_t N, std::size_t V>
[[gnu::always_inline]] inline void multiply_panels(const double* const (&a)[kRows], const double* b, std::size_t kc,
                                                   double* tile, std::size_t stride) {
    using Lanes = lanes::Vec<N>;
    constexpr std::size_t Cols = 2 * N;
    Lanes acc[kRows][V];
#pragma GCC unroll 8
    for (std::size_t r = 0; r < kRows; ++r) {
#pragma GCC unroll 2
        for (std::size_t v = 0; v < V; ++v) lanes::load(acc[r][v], tile + r * stride + v * N);
    }
    for (std::size_t k = 0; k < kc * Cols; k += Cols) {
        Lanes bv[V];
#pragma GCC unroll 2
        for (std::size_t v = 0; v < V; ++v) lanes::load(bv[v], b + k + v * N);
#pragma GCC unroll 8
        for (std::size_t r = 0; r < kRows; ++r) {
            const double x = a[r][k];
#pragma GCC unroll 2
            for (std::size_t v = 0; v < V; ++v) acc[r][v] = acc[r][v] + x * bv[v];
        }
    }
#pragma GCC unroll 8
    for (std::size_t r = 0; r < kRows; ++r) {
#pragma GCC unroll 2
        for (std::size_t v = 0; v < V; ++v) lanes::store(tile + r * stride + v * N, acc[r][v]);
    }
}

// Observations [k0, k0 + rows) of the block into the panels, centred as fetch() centres them.
template <std::size_t N>
[[gnu::always_inline]] inline void pack_block(const Observations& o, std::size_t k0, std::size_t rows, std::size_t kc,
                                              std::size_t panels, double* b) {
    using Lanes = lanes::Vec<N>;
    constexpr std::size_t Cols = 2 * N;
    const std::size_t p = o.p, whole = p / Cols;
    for (std::size_t k = 0; k < rows; ++k) {
        const double* x = o.values + (o.rows != nullptr ? o.rows[k0 + k] : k0 + k) * p;
        double* to = b + k * Cols;
        if (o.mean == nullptr) {
            for (std::size_t j = 0; j < whole; ++j) std::copy_n(x + j * Cols, Cols, to + j * kc * Cols);
        } else {
            for (std::size_t j = 0; j < whole; ++j) {
                Lanes m0, m1, v0, v1;
                lanes::load(m0, o.mean + j * Cols);
                lanes::load(m1, o.mean + j * Cols + N);
                lanes::load(v0, x + j * Cols);
                lanes::load(v1, x + j * Cols + N);
                lanes::store(to + j * kc * Cols, v0 - m0);
                lanes::store(to + j * kc * Cols + N, v1 - m1);
            }
        }
        if (whole < panels) {
            double* last = to + whole * kc * Cols;
            for (std::size_t c = 0; c < Cols; ++c) {
                const std::size_t col = whole * Cols + c;
                last[c] = col >= p ? 0.0 : o.mean == nullptr ? x[col] : x[col] - o.mean[col];
            }
        }
    }
}

template <std::size_t N>
[[gnu::always_inline]] inline void packed_cross_products(const Observations& o, double divisor, double scale,
                                                         double* out) {
    constexpr std::size_t Cols = 2 * N;
    constexpr std::size_t TileSize = kRows * Cols;
    const std::size_t n = o.n, p = o.p;
    const std::size_t a_panels = (p + kRows - 1) / kRows;
    const std::size_t b_panels = (p + Cols - 1) / Cols;
    // The rows of the last row of tiles may reach into a panel past the last one of B: all zero.
    const std::size_t panels = std::max(b_panels, (a_panels * kRows + Cols - 1) / Cols);
    const std::size_t kc = std::min(n, packed_block_rows(p));
    const std::size_t stretch = std::max<std::size_t>(1, kStretchBytes / (kc * Cols * sizeof(double)));
    // Tiles past the last row or column: the last row of tiles, then the last column.
    const bool ragged_rows = p % kRows != 0, ragged_cols = p % Cols != 0;
    std::vector<double> edge((b_panels + a_panels) * TileSize, 0.0);
    auto tile_of = [&](std::size_t i, std::size_t j) -> std::pair<double*, std::size_t> {
        if (ragged_rows && i == a_panels - 1) return {edge.data() + j * TileSize, Cols};
        if (ragged_cols && j == b_panels - 1) return {edge.data() + (b_panels + i) * TileSize, Cols};
        return {out + i * kRows * p + j * Cols, p};
    };
    std::vector<double> b(panels * Cols * kc, 0.0);
    for (std::size_t k0 = 0; k0 < n; k0 += kc) {
        poll_stop();
        const std::size_t rows = std::min(kc, n - k0);
        pack_block<N>(o, k0, rows, kc, panels, b.data());
        for (std::size_t jc = 0; jc < b_panels; jc += stretch) {
            const std::size_t jc_end = std::min(b_panels, jc + stretch);
            for (std::size_t i = 0; i < a_panels; ++i) {
                const std::size_t j0 = i * kRows / Cols;
                if (j0 >= jc_end) break;
                const double* a[kRows];
                for (std::size_t r = 0; r < kRows; ++r) {
                    const std::size_t col = i * kRows + r;
                    a[r] = b.data() + col / Cols * kc * Cols + col % Cols;
                }
                for (std::size_t j = std::max(j0, jc); j < jc_end; ++j) {
                    const auto [tile, stride] = tile_of(i, j);
                    const double* panel = b.data() + j * kc * Cols;
                    // A half of the panel holds no sum wanted when it lies wholly below the
                    // diagonal or past column p: the tile then runs on the other half only.
                    const bool low = i * kRows <= j * Cols + N - 1;
                    const bool high = i * kRows <= j * Cols + Cols - 1 && j * Cols + N < p;
                    if (low && high) multiply_panels<N, 2>(a, panel, rows, tile, stride);
                    else if (low) multiply_panels<N, 1>(a, panel, rows, tile, stride);
                    else multiply_panels<N, 1>(a, panel + N, rows, tile + N, stride);
                }
            }
        }
    }
    // The edge tiles' sums into the result.
    for (std::size_t i = 0; i < a_panels; ++i) {
        for (std::size_t j = i * kRows / Cols; j < b_panels; ++j) {
            // (Not told by the stride: an edge tile's is p too when p is one panel wide.)
            if (!(ragged_rows && i == a_panels - 1) && !(ragged_cols && j == b_panels - 1)) continue;
            const double* tile = tile_of(i, j).first;
            for (std::size_t r = 0; r < kRows && i * kRows + r < p; ++r) {
                for (std::size_t c = 0; c < Cols && j * Cols + c < p; ++c) {
                    out[(i * kRows + r) * p + j * Cols + c] = tile[r * Cols + c];
                }
            }
        }
    }
    // Divided, scaled and mirrored a block at a time, so that the transposed writes stay in cache.
    for (std::size_t i0 = 0; i0 < p; i0 += kMirrorBlock) {
        for (std::size_t j0 = i0; j0 < p; j0 += kMirrorBlock) {
            for (std::size_t i = i0; i < std::min(p, i0 + kMirrorBlock); ++i) {
                for (std::size_t j = std::max(i, j0); j < std::min(p, j0 + kMirrorBlock); ++j) {
                    const double v = lanes::mul<N>(out[i * p + j] / divisor, scale);
                    out[i * p + j] = v;
                    out[j * p + i] = v;
                }
            }
        }
    }
}

// Eight lanes on Intel processors with AVX-512, four elsewhere (processors.hpp): on an AMD EPYC
// (Zen 4, whose 512-bit operations run as two halves) tiles of 8x8, 12x8, 6x16 and 12x16 all ran
// 20-37% slower than four lanes.
void packed_cross_products_lanes(const Observations& o, double divisor, double scale, double* out) {
    const auto kernel = [&]<std::size_t N>() __attribute__((always_inline)) {
        packed_cross_products<N>(o, divisor, scale, out);
    };
    lanes::run<lanes::Kernel::packed_cross_product>(kernel);
}

Matrix cross_product(const Observations& o, double divisor, double scale) {
    if (o.p <= kMostTiledColumns) return tiled_cross_product(o, divisor, scale);
    Matrix out = Matrix::filled(o.p, o.p, 0.0);
    packed_cross_products_lanes(o, divisor, scale, out.data());
    return out;
}

}  // namespace

Matrix scaled_cross_product(const Matrix& centred, double divisor, double scale) {
    return cross_product(as_observations(centred), divisor, scale);
}

Matrix scaled_cross_product(const CompleteObservations& observations, double divisor, double scale) {
    return cross_product(as_observations(observations), divisor, scale);
}

}  // namespace valmora
