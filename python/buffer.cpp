#include "buffer.hpp"

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "pyref.hpp"

namespace valmora::py {
namespace {

std::atomic<PyObject*> ndarray_type{nullptr};
std::atomic<PyObject*> array_type{nullptr};

// `module.name`, once someone has imported `module`; nothing is imported here, since without the
// module no instance of its type can exist. Found types are kept for the life of the process.
PyObject* loaded_type(std::atomic<PyObject*>& cache, const char* module, const char* name) {
    if (PyObject* known = cache.load(std::memory_order_acquire)) return known;
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* found = modules != nullptr ? PyDict_GetItemString(modules, module) : nullptr;  // borrowed
    PyRef type(found != nullptr ? PyObject_GetAttrString(found, name) : nullptr);
    PyErr_Clear();
    if (!type || !PyType_Check(type.get())) return nullptr;
    PyObject* expected = nullptr;
    if (!cache.compare_exchange_strong(expected, type.get())) return expected;
    return type.release();
}

enum class Kind { float64, float32, boolean, signed_int, unsigned_int };

// The element kind of a native-order format, or false for anything else (structs, byte-swapped,
// complex, half precision, objects, ...). Iterating a memoryview accepts no byte-order prefix but
// '@', so for one neither may the fast path.
bool element_kind(const char* format, Py_ssize_t itemsize, bool memoryview, Kind& kind) {
    if (format == nullptr) format = "B";
    if (*format == '@' ||
        (!memoryview && (*format == '=' || (*format == '<' && std::endian::native == std::endian::little)))) {
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') return false;
    switch (format[0]) {
        case 'd': kind = Kind::float64; return itemsize == 8;
        case 'f': kind = Kind::float32; return itemsize == 4;
        case '?': kind = Kind::boolean; return itemsize == 1;
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
            kind = Kind::signed_int;
            break;
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
            kind = Kind::unsigned_int;
            break;
        default: return false;
    }
    return itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8;
}

template <class T>
void gather_as(const char* base, Py_ssize_t count, Py_ssize_t stride, double* out) {
    if constexpr (std::is_same_v<T, double>) {
        if (stride == sizeof(double)) {
            std::memcpy(out, base, static_cast<std::size_t>(count) * sizeof(double));
            return;
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        T v;
        std::memcpy(&v, base + i * stride, sizeof(T));
        out[i] = static_cast<double>(v);  // exact or correctly rounded, as the scalars convert
    }
}

void gather(Kind kind, Py_ssize_t itemsize, const char* base, Py_ssize_t count, Py_ssize_t stride, double* out) {
    switch (kind) {
        case Kind::float64: return gather_as<double>(base, count, stride, out);
        case Kind::float32: return gather_as<float>(base, count, stride, out);
        case Kind::boolean:
            // Any non-zero byte is True, as the scalars read it.
            for (Py_ssize_t i = 0; i < count; ++i) out[i] = base[i * stride] != 0 ? 1.0 : 0.0;
            return;
        case Kind::signed_int:
            if (itemsize == 1) return gather_as<std::int8_t>(base, count, stride, out);
            if (itemsize == 2) return gather_as<std::int16_t>(base, count, stride, out);
            if (itemsize == 4) return gather_as<std::int32_t>(base, count, stride, out);
            return gather_as<std::int64_t>(base, count, stride, out);
        case Kind::unsigned_int:
            if (itemsize == 1) return gather_as<std::uint8_t>(base, count, stride, out);
            if (itemsize == 2) return gather_as<std::uint16_t>(base, count, stride, out);
            if (itemsize == 4) return gather_as<std::uint32_t>(base, count, stride, out);
            return gather_as<std::uint64_t>(base, count, stride, out);
    }
}

// A read-only strided view of `obj` when its exact type may take the fast path with `ndim`
// dimensions, none of them empty.
class View {
public:
    View(PyObject* obj, int ndim) {
        if (!PyObject_CheckBuffer(obj)) return;  // lists, tuples, ...: nothing to look up
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
        const bool memoryview = type == reinterpret_cast<PyObject*>(&PyMemoryView_Type);
        const bool known = memoryview ? ndim == 1  // iterating a 2-D memoryview is an error we must keep
                                      : (type == loaded_type(ndarray_type, "numpy", "ndarray") ||
                                         (ndim == 1 && type == loaded_type(array_type, "array", "array")));
        if (!known) return;
        if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) {
            PyErr_Clear();
            return;
        }
        held_ = true;
        if (view_.ndim != ndim || view_.suboffsets != nullptr) return;
        for (int d = 0; d < ndim; ++d) {
            if (view_.shape[d] == 0) return;
        }
        usable_ = element_kind(view_.format, view_.itemsize, memoryview, kind_);
    }
    ~View() {
        if (held_) PyBuffer_Release(&view_);
    }
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    bool usable() const { return usable_; }
    Py_ssize_t extent(int d) const { return view_.shape[d]; }
    void read_line(const char* base, Py_ssize_t count, Py_ssize_t stride, double* out) const {
        gather(kind_, view_.itemsize, base, count, stride, out);
    }
    const char* base() const { return static_cast<const char*>(view_.buf); }
    bool is_c_contiguous_float64() const {
        if (kind_ != Kind::float64) return false;
        Py_ssize_t stride = view_.itemsize;
        for (int d = view_.ndim - 1; d >= 0; --d) {
            if (view_.strides[d] != stride) return false;
            stride *= view_.shape[d];
        }
        return reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) == 0;
    }
    Py_ssize_t stride(int d) const { return view_.strides[d]; }

private:
    Py_buffer view_{};
    bool held_ = false;
    bool usable_ = false;
    Kind kind_ = Kind::float64;
};

}  // namespace

bool has_plain_buffer(PyObject* obj, int ndim) { return View(obj, ndim).usable(); }

bool read_buffer_vector(PyObject* obj, std::vector<double>& out) {
    View view(obj, 1);
    if (!view.usable()) return false;
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(view.extent(0)));
    view.read_line(view.base(), view.extent(0), view.stride(0), out.data() + start);
    return true;
}

bool read_buffer_matrix(PyObject* obj, Matrix& out) {
    auto view = std::make_shared<View>(obj, 2);
    if (!view->usable()) return false;
    const Py_ssize_t rows = view->extent(0), cols = view->extent(1);
    if (view->is_c_contiguous_float64()) {
        // Read in place: the matrix keeps the buffer export alive until it is destroyed, which
        // happens within the call, under the interpreter lock.
        const auto* values = reinterpret_cast<const double*>(view->base());
        out = Matrix::borrowed(values, static_cast<std::size_t>(rows), static_cast<std::size_t>(cols),
                               std::move(view));
        return true;
    }
    std::vector<double>& values = out.values();
    values.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
    out.reserve_rows(static_cast<std::size_t>(rows));
    for (Py_ssize_t r = 0; r < rows; ++r) {
        const std::size_t start = values.size();
        values.resize(start + static_cast<std::size_t>(cols));
        view->read_line(view->base() + r * view->stride(0), cols, view->stride(1), values.data() + start);
        out.end_row();
    }
    return true;
}

}  // namespace valmora::py
