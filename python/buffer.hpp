// Reading numeric arrays through the buffer protocol, and the values an argument converts to:
// its own copy, or a caller's float64 array read in place.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "matrix.hpp"
#include "pyref.hpp"

namespace valmora::py {

class CallState;

// Finds numpy.ndarray and array.array among the loaded modules, if they are loaded. Reading a
// loaded module's attribute can run Python code (its __getattr__, a lazy import), before which
// what `state` has lent is read; once a type is found it is a comparison of types. False, with
// the exception set, only when the look-up was interrupted.
bool find_buffer_types(CallState* state);

// Whether `obj` is a numpy.ndarray or an instance of a subclass (as found so far).
bool is_ndarray(PyObject* obj);

// A buffer export held for the caller; released on destruction (not after the thread has lost the
// interpreter: see holds_interpreter), which may run Python code (a __release_buffer__).
class BufferLease {
public:
    BufferLease() = default;
    BufferLease(const BufferLease&) = delete;
    BufferLease& operator=(const BufferLease&) = delete;
    ~BufferLease() noexcept(false) { release(); }

    // Exports `obj`'s buffer with strides and format; false (no exception set) if it has none.
    bool acquire(PyObject* obj);
    void release();
    bool held() const noexcept { return held_; }
    const Py_buffer& view() const noexcept { return view_; }
    // Whether the exporter still exports the memory, shape and strides it lent; asking runs no
    // Python code for the exact types whose exports are lent.
    bool intact() const;

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The doubles of a vector or matrix argument: converted into owned storage, or a caller's
// C-contiguous float64 array read in place (lent) while its export, lease(), is held.
class Values {
public:
    std::vector<double>& owned() noexcept { return owned_; }
    BufferLease& lease() noexcept { return lease_; }
    bool lent() const noexcept { return lease_.held(); }
    // Copies lent values into owned storage, keeping the export until give_back(): giving one back
    // can free an array and run Python code, so every lent argument is copied before any is.
    void copy_lent();
    void give_back() { lease_.release(); }
    bool intact() const { return !lent() || lease_.intact(); }

protected:
    const double* data() const noexcept {
        return lent() ? static_cast<const double*>(lease_.view().buf) : owned_.data();
    }
    std::size_t size() const noexcept {
        return lent() ? static_cast<std::size_t>(lease_.view().len) / sizeof(double) : owned_.size();
    }

    std::vector<double> owned_;
    BufferLease lease_;
};

// A vector argument.
class VectorArg : public Values {
public:
    operator std::span<const double>() const noexcept { return {data(), size()}; }
};

// A matrix argument: rows of one length (a 2-D array, lent or copied), or rows converted one by
// one, which may differ in length: they reach the core as they came, and its shape checks say
// what is wrong with them.
class MatrixArg : public Values {
public:
    // A block of rows x cols values, row after row: lent, or in owned().
    void block(std::size_t rows, std::size_t cols) noexcept {
        rows_ = rows;
        cols_ = cols;
    }
    // Rows one by one (`expected` is a hint), each ending where owned() ends at end_row().
    void begin_rows(std::size_t expected) {
        starts_.reserve(expected + 1);
        if (starts_.empty()) starts_.push_back(0);
    }
    void end_row() { starts_.push_back(owned_.size()); }

    operator MatrixView() const noexcept {
        if (!starts_.empty()) return {owned_.data(), starts_.data(), starts_.size() - 1};
        return {data(), rows_, cols_};
    }

private:
    std::vector<std::size_t> starts_;  // offsets of rows converted one by one, then the end
    std::size_t rows_ = 0, cols_ = 0;
};

// When `obj` is an exact numpy.ndarray, array.array or memoryview holding a plain numeric format
// in `ndim` dimensions (one for a vector, two for a matrix), none empty, these take its values
// and return true: a C-contiguous float64 array (not a memoryview) is lent, anything else is
// copied. Otherwise they return false with nothing taken and no exception set, and the caller
// converts item by item, which gives the same values. None of them runs Python code but at a poll
// for a stop request, unless `subclass` asks for an ndarray subclass (np.memmap) too, whose
// values are copied.
enum class Subclass { refused, copied };
bool read_buffer_vector(PyObject* obj, VectorArg& out, const char* param, Subclass subclass);
bool append_buffer_vector(PyObject* obj, std::vector<double>& out, const char* param);
bool read_buffer_matrix(PyObject* obj, MatrixArg& out, const char* param, Subclass subclass);

// BufferError naming `param`: an array the call reads was resized or moved by code that ran at a
// poll for a stop request.
void set_resized_error(const char* param);

}  // namespace valmora::py
