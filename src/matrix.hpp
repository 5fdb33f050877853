// The Matrix model and the checks and steps shared by every routine that takes a matrix.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "result.hpp"

namespace valmora {

// Rows of doubles stored back to back. Rows may differ in length as delivered by the
// binding; the shape checks below decide whether a matrix is usable.
//
// A matrix either owns its values or borrows a caller's row-major block, read in place; the
// borrowed block is kept alive by `keeper` for as long as the matrix exists.
class Matrix {
public:
    Matrix() = default;
    static Matrix filled(std::size_t rows, std::size_t cols, double value);
    static Matrix borrowed(const double* values, std::size_t rows, std::size_t cols,
                           std::shared_ptr<const void> keeper);

    std::size_t rows() const noexcept { return starts_.size() - 1; }
    std::span<const double> row(std::size_t i) const {
        return {data() + starts_[i], starts_[i + 1] - starts_[i]};
    }
    std::span<double> row(std::size_t i) {
        return {data() + starts_[i], starts_[i + 1] - starts_[i]};
    }
    // Row-major storage; after a passing shape check, entry (i, j) is data()[i * cols + j].
    const double* data() const noexcept { return borrowed_ != nullptr ? borrowed_ : values_.data(); }
    // Writing is for matrices this code built; inputs, borrowed or not, are only read.
    double* data() noexcept { return const_cast<double*>(std::as_const(*this).data()); }

    bool is_borrowed() const noexcept { return borrowed_ != nullptr; }
    // Takes a copy of a borrowed block, so the matrix no longer depends on its lender.
    void own();

    // Building a matrix row by row (used by the conversion layer).
    std::vector<double>& values() noexcept { return values_; }
    void reserve_rows(std::size_t rows) { starts_.reserve(rows + 1); }
    void end_row() { starts_.push_back(values_.size()); }
    void end_row_at(std::size_t end) { starts_.push_back(end); }

private:
    std::vector<double> values_;
    std::vector<std::size_t> starts_{0};
    const double* borrowed_ = nullptr;
    std::shared_ptr<const void> keeper_;
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
