#include "matrix.hpp"

#include <bit>
#include <cstdint>

namespace valmora {

Matrix Matrix::filled(std::size_t rows, std::size_t cols, double value) {
    Matrix m;
    m.values_.assign(rows * cols, value);
    m.starts_.resize(rows + 1);
    for (std::size_t i = 0; i <= rows; ++i) m.starts_[i] = i * cols;
    return m;
}

Result<Shape> check_shape(const Matrix& m) {
    if (m.rows() == 0) return ValidationError{"matrix must not be empty"};
    const std::size_t cols = m.row(0).size();
    if (cols == 0) return ValidationError{"matrix rows must not be empty"};
    for (std::size_t i = 1; i < m.rows(); ++i) {
        if (m.row(i).size() != cols) return ValidationError{"matrix rows must have equal length"};
    }
    return Shape{m.rows(), cols};
}

Result<std::size_t> check_square(const Matrix& m) {
    auto shape = check_shape(m);
    if (!shape.ok()) return shape.error();
    if (shape.value().rows != shape.value().cols) return ValidationError{"matrix must be square"};
    return shape.value().rows;
}

namespace {

// Finite exactly when the magnitude's bit pattern is at most that of the largest finite double.
bool is_finite(double v) {
    return (std::bit_cast<std::uint64_t>(v) & 0x7FFFFFFFFFFFFFFFull) <= 0x7FEFFFFFFFFFFFFFull;
}

}  // namespace

Result<Matrix> centre_complete_observations(const Matrix& data) {
    auto shape = check_shape(data);
    if (!shape.ok()) return shape.error();
    const std::size_t p = shape.value().cols;

    Matrix centred;
    std::vector<double>& values = centred.values();
    centred.reserve_rows(data.rows());
    values.reserve(data.rows() * p);
    for (std::size_t r = 0; r < data.rows(); ++r) {
        auto row = data.row(r);
        bool complete = true;
        for (double v : row) complete &= is_finite(v);
        if (!complete) continue;
        values.insert(values.end(), row.begin(), row.end());
        centred.end_row();
    }
    const std::size_t n = centred.rows();
    if (n < 2) return ValidationError{"at least two complete observations are required"};

    // Column sums advance together, each in row order from 0.0; one division per column.
    std::vector<double> mean(p, 0.0);
    for (std::size_t k = 0; k < n; ++k) {
        const double* row = values.data() + k * p;
        for (std::size_t j = 0; j < p; ++j) mean[j] += row[j];
    }
    const double count = static_cast<double>(n);
    for (double& m : mean) m /= count;
    for (std::size_t k = 0; k < n; ++k) {
        double* row = values.data() + k * p;
        for (std::size_t j = 0; j < p; ++j) row[j] -= mean[j];
    }
    return centred;
}

Matrix scaled_cross_product(const Matrix& centred, double divisor, double scale) {
    const std::size_t n = centred.rows();
    const std::size_t p = centred.row(0).size();
    const double* c = centred.data();
    Matrix out = Matrix::filled(p, p, 0.0);
    double* r = out.data();
    // Each entry is one sum over the observations in order, started from 0.0; the divisor
    // is applied before the scale.
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = i; j < p; ++j) {
            double t = 0.0;
            for (std::size_t k = 0; k < n; ++k) t += c[k * p + i] * c[k * p + j];
            r[i * p + j] = (t / divisor) * scale;
        }
    }
    for (std::size_t j = 0; j < p; ++j) {
        for (std::size_t i = j + 1; i < p; ++i) r[i * p + j] = r[j * p + i];
    }
    return out;
}

}  // namespace valmora
