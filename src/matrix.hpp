// The Matrix model and the checks and steps shared by every routine that takes a matrix.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "result.hpp"

namespace valmora {

// Rows of doubles stored back to back. Rows may differ in length as delivered by the
// binding; the shape checks below decide whether a matrix is usable.
class Matrix {
public:
    Matrix() = default;
    static Matrix filled(std::size_t rows, std::size_t cols, double value);

    std::size_t rows() const noexcept { return starts_.size() - 1; }
    std::span<const double> row(std::size_t i) const {
        return {values_.data() + starts_[i], starts_[i + 1] - starts_[i]};
    }
    std::span<double> row(std::size_t i) {
        return {values_.data() + starts_[i], starts_[i + 1] - starts_[i]};
    }
    // Row-major storage; after a passing shape check, entry (i, j) is data()[i * cols + j].
    const double* data() const noexcept { return values_.data(); }
    double* data() noexcept { return values_.data(); }

    // Building a matrix row by row (used by the conversion layer).
    std::vector<double>& values() noexcept { return values_; }
    void reserve_rows(std::size_t rows) { starts_.reserve(rows + 1); }
    void end_row() { starts_.push_back(values_.size()); }

private:
    std::vector<double> values_;
    std::vector<std::size_t> starts_{0};
};

struct Shape {
    std::size_t rows;
    std::size_t cols;
};

Result<Shape> check_shape(const Matrix& m);
Result<std::size_t> check_square(const Matrix& m);

// Copies of the rows free of NaN and infinity, each value reduced by its column mean.
Result<Matrix> centre_complete_observations(const Matrix& data);

// Entry (i, j) = ((sum over k of c_ki * c_kj) / divisor) * scale; upper triangle computed,
// lower mirrored so the result is exactly symmetric.
Matrix scaled_cross_product(const Matrix& centred, double divisor, double scale);

}  // namespace valmora
