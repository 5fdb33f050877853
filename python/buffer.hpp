// Reading numeric arrays through the buffer protocol, and arguments read in place.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "matrix.hpp"
#include "pyref.hpp"

namespace valmora::py {

// Finds numpy.ndarray and array.array among the loaded modules, if they are loaded. The look-up
// can run Python code (a module object's __getattr__, a lazy import), so every call does it at
// its start, before anything is read in place; afterwards the buffer path only compares types.
// False, with the exception set, only when the look-up was interrupted (KeyboardInterrupt).
bool find_buffer_types();

// A buffer export held for the caller; released on destruction (not after the thread has lost
// the interpreter at exit: see holds_interpreter).
class BufferLease {
public:
    BufferLease() = default;
    BufferLease(BufferLease&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
    BufferLease& operator=(BufferLease&& other) noexcept;
    BufferLease(const BufferLease&) = delete;
    BufferLease& operator=(const BufferLease&) = delete;
    ~BufferLease() { release(); }

    // Exports `obj`'s buffer with strides and format; false (no exception set) if it has none.
    bool acquire(PyObject* obj);
    void release() noexcept;
    bool held() const noexcept { return held_; }
    const Py_buffer& view() const noexcept { return view_; }
    // Gives the export back and returns its exporter (null if it has none).
    PyRef pause();

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A vector argument: values converted into owned storage, or a caller's C-contiguous float64
// array read in place while its lease is held.
class VectorArg {
public:
    std::vector<double>& values() noexcept { return owned_; }
    void lend(BufferLease lease, std::size_t size);
    bool borrowed() const noexcept { return lease_.held() && !copied_; }
    // Copies lent values into owned storage, keeping the lease until settle(): giving a lease back
    // can free an array and run Python code, so every lent argument is copied before any is.
    void own();
    void settle() noexcept;
    // Gives lent memory back, keeping the object that lent it for take_exporter.
    void pause();
    PyRef take_exporter() noexcept { return std::move(exporter_); }

    operator std::span<const double>() const noexcept {
        if (borrowed()) return {static_cast<const double*>(lease_.view().buf), size_};
        return owned_;
    }

private:
    std::vector<double> owned_;
    BufferLease lease_;
    std::size_t size_ = 0;
    bool copied_ = false;
    PyRef exporter_;
};

// A matrix argument: rows converted into an owned Matrix, or a caller's C-contiguous float64
// array of two dimensions read in place while its lease is held.
class MatrixArg {
public:
    Matrix& rows() noexcept { return owned_; }
    void lend(BufferLease lease, std::size_t rows, std::size_t cols);
    bool borrowed() const noexcept { return lease_.held() && !copied_; }
    void own();
    void settle() noexcept;
    void pause();
    PyRef take_exporter() noexcept { return std::move(exporter_); }

    operator MatrixView() const noexcept {
        if (borrowed()) return {static_cast<const double*>(lease_.view().buf), rows_, cols_};
        return owned_;
    }

private:
    Matrix owned_;
    BufferLease lease_;
    std::size_t rows_ = 0, cols_ = 0;
    bool copied_ = false;
    PyRef exporter_;
};

// Whether an ndarray subclass (np.memmap, ...) is read too. Its export may run Python code (a
// __buffer__ of its own), so its values are copied, never lent.
enum class Subclass { refused, copied };

// When `obj` is an exact numpy.ndarray, array.array or memoryview holding a plain numeric format
// in exactly one dimension, none empty, these take its values and return true; otherwise they
// return false with nothing taken and no exception set, and the caller converts item by item,
// which gives the same values for every buffer accepted here. A C-contiguous float64 array is
// lent rather than copied. None of them runs Python code, unless a subclass is asked for.
bool read_buffer_vector(PyObject* obj, VectorArg& out, Subclass subclass = Subclass::refused);
bool append_buffer_vector(PyObject* obj, std::vector<double>& out);
// The same for an exact numpy.ndarray of two dimensions, read as rows.
bool read_buffer_matrix(PyObject* obj, MatrixArg& out, Subclass subclass = Subclass::refused);

// Whether `obj` is a numpy.ndarray or an instance of a subclass (as found at the start of the call).
bool is_ndarray(PyObject* obj);

// Whether `obj` would be read through its buffer with `ndim` dimensions.
bool has_plain_buffer(PyObject* obj, int ndim);

}  // namespace valmora::py
