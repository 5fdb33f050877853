#include "matrix.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "lanes.hpp"
#include "stop.hpp"

namespace valmora {

Matrix Matrix::filled(std::size_t rows, std::size_t cols, double value) {
    return of_rows(std::vector<double>(rows * cols, value), rows, cols);
}

Matrix Matrix::of_rows(std::vector<double> values, std::size_t rows, std::size_t cols) {
    Matrix m;
    m.values_ = std::move(values);
    m.starts_.resize(rows + 1);
    for (std::size_t i = 0; i <= rows; ++i) m.starts_[i] = i * cols;
    return m;
}

Result<Shape> check_shape(MatrixView m) {
    if (m.rows() == 0) return ValidationError{"matrix must not be empty"};
    const std::size_t cols = m.row(0).size();
    if (cols == 0) return ValidationError{"matrix rows must not be empty"};
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
constexpr std::uint64_t kMagnitude = 0x7FFFFFFFFFFFFFFFull;
constexpr std::uint64_t kLargestFinite = 0x7FEFFFFFFFFFFFFFull;

// A value is finite exactly when v - v is +0.0 (it is NaN for NaN and both infinities), so a
// row is complete when the lane sums of v - v are all zero.
template <std::size_t N>
[[gnu::always_inline]] inline bool all_finite(const double* row, std::size_t p) {
    using Lanes = lanes::Vec<N>;
    Lanes acc{};
    std::size_t j = 0;
    for (; j + N <= p; j += N) {
        Lanes v;
        lanes::load(v, row + j);
        acc = acc + (v - v);
    }
    double sums[N];
    lanes::store(sums, acc);
    bool finite = true;
    for (std::size_t l = 0; l < N; ++l) finite &= sums[l] == 0.0;
    for (; j < p; ++j) finite &= (std::bit_cast<std::uint64_t>(row[j]) & kMagnitude) <= kLargestFinite;
    return finite;
}

// Copies the complete rows of `data` (n_rows x p) to `out` and adds each to the column sums,
// which advance together in lanes, each in row order from 0.0; returns how many rows it kept.
template <std::size_t N>
[[gnu::always_inline]] inline std::size_t copy_complete_rows(const double* data, std::size_t n_rows, std::size_t p,
                                                             double* out, double* sum) {
    using Lanes = lanes::Vec<N>;
    std::size_t kept = 0;
    for (std::size_t r = 0; r < n_rows; ++r) {
        if (r % 4096 == 0) poll_stop();
        const double* row = data + r * p;
        if (!all_finite<N>(row, p)) continue;
        double* to = out + kept * p;
        std::size_t j = 0;
        for (; j + N <= p; j += N) {
            Lanes m, x;
            lanes::load(m, sum + j);
            lanes::load(x, row + j);
            lanes::store(to + j, x);
            lanes::store(sum + j, m + x);
        }
        for (; j < p; ++j) {
            to[j] = row[j];
            sum[j] += row[j];
        }
        ++kept;
    }
    return kept;
}

// One division per column turns the sums into means; every value is then reduced by its mean.
template <std::size_t N>
[[gnu::always_inline]] inline void centre_columns(double* values, std::size_t n, std::size_t p, double* mean) {
    using Lanes = lanes::Vec<N>;
    const double count = static_cast<double>(n);
    for (std::size_t j = 0; j < p; ++j) mean[j] /= count;
    for (std::size_t k = 0; k < n; ++k) {
        double* row = values + k * p;
        std::size_t j = 0;
        for (; j + N <= p; j += N) {
            Lanes m, x;
            lanes::load(m, mean + j);
            lanes::load(x, row + j);
            lanes::store(row + j, x - m);
        }
        for (; j < p; ++j) row[j] -= mean[j];
    }
}

VALMORA_LANES_KERNEL(std::size_t, copy_complete, copy_complete_rows,
                     (const double* data, std::size_t n_rows, std::size_t p, double* out, double* sum),
                     (data, n_rows, p, out, sum))
VALMORA_LANES_KERNEL(void, centre_all_columns, centre_columns,
                     (double* values, std::size_t n, std::size_t p, double* mean), (values, n, p, mean))

}  // namespace

Result<Matrix> centre_complete_observations(MatrixView data) {
    auto shape = check_shape(data);
    if (!shape.ok()) return shape.error();
    const std::size_t p = shape.value().cols;

    // After the shape check the rows lie back to back, so the data is one row-major block.
    std::vector<double> values(data.rows() * p);
    std::vector<double> mean(p, 0.0);
    const std::size_t n = copy_complete(data.data(), data.rows(), p, values.data(), mean.data());
    if (n < 2) return ValidationError{"at least two complete observations are required"};
    values.resize(n * p);
    centre_all_columns(values.data(), n, p, mean.data());

    return Matrix::of_rows(std::move(values), n, p);
}

namespace {

// Output tiles are kTileRows rows of kTileVecs vectors of N lanes; entry (i, j) of a tile is the
// sum for the pair of columns (i, j) of the data, carried over every observation in order.
constexpr std::size_t kTileRows = 4;
constexpr std::size_t kTileVecs = 2;
// Columns of the packed block are padded with zeros to a multiple of this, so tiles never read
// past a row; it is a multiple of kTileRows and of every tile width.
constexpr std::size_t kPadding = 16;
// Observations per block, sized from p: as many as fill about 512 KiB, which stays in the
// second-level cache while every tile of the upper triangle streams through it, but never fewer
// than kMinBlockRows, since each tile loads and stores its sums once per block and a short block
// would spend its time there.
constexpr std::size_t kBlockValues = 65536;
constexpr std::size_t kMinBlockRows = 128;

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
[[gnu::always_inline]] inline void accumulate_cross_products(const double* c, std::size_t n, std::size_t p,
                                                             double* sums) {
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
        for (std::size_t k = 0; k < rows; ++k) std::copy_n(c + (k0 + k) * p, p, block.data() + k * width);
        for (std::size_t i0 = 0; i0 < p; i0 += kTileRows) {
            for (std::size_t j0 = i0 / N * N; j0 < p; j0 += cols) {
                accumulate_tile<N>(block.data(), rows, width, i0, j0, sums, p);
            }
        }
    }
}

VALMORA_LANES_KERNEL(void, accumulate_all_cross_products, accumulate_cross_products,
                     (const double* c, std::size_t n, std::size_t p, double* sums), (c, n, p, sums))

}  // namespace

Matrix scaled_cross_product(const Matrix& centred, double divisor, double scale) {
    const std::size_t n = centred.rows();
    const std::size_t p = centred.row(0).size();
    // The zero matrix is the accumulator: every sum starts from 0.0.
    Matrix out = Matrix::filled(p, p, 0.0);
    double* r = out.data();
    accumulate_all_cross_products(centred.data(), n, p, r);
    // The divisor is applied before the scale.
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = i; j < p; ++j) r[i * p + j] = (r[i * p + j] / divisor) * scale;
    }
    for (std::size_t j = 0; j < p; ++j) {
        for (std::size_t i = j + 1; i < p; ++i) r[i * p + j] = r[j * p + i];
    }
    return out;
}

}  // namespace valmora
