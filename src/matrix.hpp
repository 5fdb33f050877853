// The Matrix model and the checks and steps shared by every routine that takes a matrix.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "result.hpp"

namespace valmora {

// Rows of `cols` doubles stored back to back, owned.
class Matrix {
public:
    Matrix() = default;
    static Matrix filled(std::size_t rows, std::size_t cols, double value);
    // Takes `values` (rows * cols of them, row after row) as a matrix of rows of `cols`.
    static Matrix of_rows(std::vector<double> values, std::size_t rows, std::size_t cols);

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::span<const double> row(std::size_t i) const { return {values_.data() + i * cols_, cols_}; }
    // Row-major storage: entry (i, j) is data()[i * cols + j].
    const double* data() const noexcept { return values_.data(); }
    double* data() noexcept { return values_.data(); }

private:
    std::vector<double> values_;
    std::size_t rows_ = 0, cols_ = 0;
};

// A read-only view of rows that owns nothing: a Matrix's rows, a row-major block of rows x cols,
// or rows of any lengths as a caller delivered them, row i being values[starts[i]] up to
// values[starts[i + 1]]: the shape checks below say what is wrong with those. Whoever made the
// view keeps the values alive for as long as it is used. Routines take their input matrices as
// views, so the caller decides where the values live.
class MatrixView {
public:
    MatrixView(const Matrix& m) noexcept : values_(m.data()), rows_(m.rows()), cols_(m.cols()) {}
    MatrixView(const double* values, std::size_t rows, std::size_t cols) noexcept
        : values_(values), rows_(rows), cols_(cols) {}
    MatrixView(const double* values, const std::size_t* starts, std::size_t rows) noexcept
        : values_(values), starts_(starts), rows_(rows) {}

    std::size_t rows() const noexcept { return rows_; }
    std::span<const double> row(std::size_t i) const {
        if (starts_ != nullptr) return {values_ + starts_[i], starts_[i + 1] - starts_[i]};
        return {values_ + i * cols_, cols_};
    }
    // Row-major storage; after a passing shape check, entry (i, j) is data()[i * cols + j].
    const double* data() const noexcept { return values_; }
    // A row-major block, whose rows all have one length: a shape check walks no rows.
    bool uniform() const noexcept { return starts_ == nullptr; }

private:
    const double* values_;
    const std::size_t* starts_ = nullptr;  // rows_ + 1 offsets, or null for a uniform block
    std::size_t rows_;
    std::size_t cols_ = 0;
};

struct Shape {
    std::size_t rows;
    std::size_t cols;
};

Result<Shape> check_shape(MatrixView m);
Result<std::size_t> check_square(MatrixView m);

// The rows of a data matrix free of NaN and infinity, left where they are, and the mean of each
// column over them. `values` points into the data, which must outlive this.
struct CompleteObservations {
    const double* values;
    std::size_t cols;
    std::vector<std::size_t> rows;  // indices of the complete rows, in order
    std::vector<double> mean;
};

// Fails as the centring does: a shape message, or fewer than two complete rows.
Result<CompleteObservations> complete_observations(MatrixView data);

// Copies of the complete rows, each value reduced by its column mean.
Matrix centred(const CompleteObservations& observations);
Result<Matrix> centre_complete_observations(MatrixView data);

// Entry (i, j) = ((sum over k of c_ki * c_kj) / divisor) * scale; upper triangle computed,
// lower mirrored so the result is exactly symmetric. The observations are either centred
// already, or complete rows that are centred as they are read (the same bits as centred()).
Matrix scaled_cross_product(const Matrix& centred, double divisor, double scale);
Matrix scaled_cross_product(const CompleteObservations& observations, double divisor, double scale);

}  // namespace valmora
