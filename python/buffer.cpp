#include "buffer.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "convert.hpp"
#include "pyref.hpp"
#include "stop.hpp"

namespace valmora::py {
namespace {

SharedObject ndarray_type, array_type, numpy_name, array_name;

// `module.name` when `module` is loaded and that attribute is a type defined in C whose slots Python
// code cannot change (a static type, or an immutable heap type such as array.array), so taking its
// buffer never runs Python code. Nothing is imported: without the module no instance of its type
// can exist yet. Until then this is a look-up in sys.modules, which runs no Python code (the key is
// made once); reading the loaded module's attribute may, so what `state` has lent is read first.
bool find_type(SharedObject& cache, SharedObject& module_name, const char* module, const char* name, CallState* state) {
    if (cache.peek() != nullptr) return true;
    PyObject* key = module_name.get([&] { return PyUnicode_InternFromString(module); });
    if (key == nullptr) return false;
    PyObject* modules = PyImport_GetModuleDict();                                            // borrowed
    PyObject* found = modules != nullptr ? PyDict_GetItemWithError(modules, key) : nullptr;  // borrowed
    if (found == nullptr) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
        return true;
    }
    Py_IncRef(found);  // the look-up below may run code that drops it from sys.modules
    PyRef holder(found);
    if (state != nullptr) state->before_python();
    PyRef type(PyObject_GetAttrString(found, name));
    if (!type) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;  // an interrupt goes on to the caller
        PyErr_Clear();
        return true;
    }
    if (!PyType_Check(type.get())) return true;
    const unsigned long flags = PyType_GetFlags(reinterpret_cast<PyTypeObject*>(type.get()));
    if ((flags & Py_TPFLAGS_HEAPTYPE) != 0 && (flags & Py_TPFLAGS_IMMUTABLETYPE) == 0) return true;
    cache.publish(type.release());
    return true;
}

// An array read at a poll's turn was moved by code that ran there: the call ends unread.
[[noreturn]] void raise_resized(const char* param) {
    set_resized_error(param);
    throw Stopped{};
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
        case 'b':
        case 'h':
        case 'i':
        case 'l':
        case 'q':
        case 'n': kind = Kind::signed_int; break;
        case 'B':
        case 'H':
        case 'I':
        case 'L':
        case 'Q':
        case 'N': kind = Kind::unsigned_int; break;
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
// dimensions, none empty; only types known to export without running Python code are asked. The
// export is taken into `lease`, and given back with the view unless it is kept.
class View {
public:
    View(PyObject* obj, int ndim, BufferLease& lease, Subclass subclass = Subclass::refused) : lease_(lease) {
        if (!PyObject_CheckBuffer(obj)) return;  // lists, tuples, ...
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
        memoryview_ = type == reinterpret_cast<PyObject*>(&PyMemoryView_Type);
        // Iterating a 2-D memoryview is an error we must keep.
        exact_ = memoryview_ ? ndim == 1 : (type == ndarray_type.peek() || (ndim == 1 && type == array_type.peek()));
        const bool known = exact_ || (subclass == Subclass::copied && is_ndarray(obj));
        if (!known || !lease_.acquire(obj)) return;
        const Py_buffer& v = lease_.view();
        if (v.ndim != ndim || v.suboffsets != nullptr) return;
        for (int d = 0; d < ndim; ++d) {
            if (v.shape[d] == 0) return;
        }
        usable_ = element_kind(v.format, v.itemsize, memoryview_, kind_);
    }

    ~View() noexcept(false) {
        if (!kept_) lease_.release();
    }
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    bool usable() const { return usable_; }
    Py_ssize_t extent(int d) const { return lease_.view().shape[d]; }
    Py_ssize_t stride(int d) const { return lease_.view().strides[d]; }
    const char* base() const { return static_cast<const char*>(lease_.view().buf); }
    // Copies `count` values a `step` apart into `out`. A poll for a stop request comes every
    // million values read; handlers that ran there may have moved the array.
    void read_line(const char* from, Py_ssize_t count, Py_ssize_t step, double* out, const char* param) {
        constexpr Py_ssize_t kRun = Py_ssize_t{1} << 20;
        for (Py_ssize_t done = 0; done < count;) {
            if (since_poll_ >= kRun) {
                since_poll_ = 0;
                poll_stop();
                if (!lease_.intact()) raise_resized(param);
            }
            const Py_ssize_t n = std::min(kRun - since_poll_, count - done);
            gather(kind_, lease_.view().itemsize, from + done * step, n, step, out + done);
            done += n;
            since_poll_ += n;
        }
    }
    // Lent, not copied: a C-contiguous aligned float64 array of a type whose export runs no Python
    // code when asked again; not a memoryview, which exports what it was made over even once moved.
    bool lendable() const {
        const Py_buffer& v = lease_.view();
        if (!exact_ || memoryview_ || kind_ != Kind::float64) return false;
        Py_ssize_t step = v.itemsize;
        for (int d = v.ndim - 1; d >= 0; --d) {
            if (v.strides[d] != step) return false;
            step *= v.shape[d];
        }
        return reinterpret_cast<std::uintptr_t>(v.buf) % alignof(double) == 0;
    }
    void keep() { kept_ = true; }

private:
    BufferLease& lease_;
    bool kept_ = false;
    bool usable_ = false;
    bool exact_ = false;
    bool memoryview_ = false;
    Kind kind_ = Kind::float64;
    Py_ssize_t since_poll_ = 0;
};

}  // namespace

bool find_buffer_types(CallState* state) {
    return find_type(ndarray_type, numpy_name, "numpy", "ndarray", state) &&
           find_type(array_type, array_name, "array", "array", state);
}

bool is_ndarray(PyObject* obj) {
    PyObject* type = ndarray_type.peek();
    return type != nullptr && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type));
}

bool BufferLease::acquire(PyObject* obj) {
    release();
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) {
        // A subclass's export may run Python code: an interrupt there is not passed over.
        if (PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
        return false;
    }
    held_ = true;
    return true;
}

void BufferLease::release() {
    if (held_ && holds_interpreter()) PyBuffer_Release(&view_);
    held_ = false;
}

bool BufferLease::intact() const {
    Py_buffer now{};
    if (view_.obj == nullptr || PyObject_GetBuffer(view_.obj, &now, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    bool same = now.buf == view_.buf && now.len == view_.len && now.ndim == view_.ndim;
    for (int d = 0; same && d < now.ndim; ++d)
        same = now.shape[d] == view_.shape[d] && now.strides[d] == view_.strides[d];
    PyBuffer_Release(&now);
    return same;
}

void Values::copy_lent() {
    if (!lent()) return;
    const auto* values = static_cast<const double*>(lease_.view().buf);
    owned_.assign(values, values + size());
}

void set_resized_error(const char* param) {
    PyErr_Format(PyExc_BufferError, "argument '%s': the array was resized while the call read it", param);
}

bool append_buffer_vector(PyObject* obj, std::vector<double>& out, const char* param) {
    BufferLease lease;
    View view(obj, 1, lease);
    if (!view.usable()) return false;
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(view.extent(0)));
    view.read_line(view.base(), view.extent(0), view.stride(0), out.data() + start, param);
    return true;
}

bool read_buffer_vector(PyObject* obj, VectorArg& out, const char* param, Subclass subclass) {
    View view(obj, 1, out.lease(), subclass);
    if (!view.usable()) return false;
    if (view.lendable()) {
        view.keep();
        return true;
    }
    std::vector<double>& values = out.owned();
    values.resize(static_cast<std::size_t>(view.extent(0)));
    view.read_line(view.base(), view.extent(0), view.stride(0), values.data(), param);
    return true;
}

bool read_buffer_matrix(PyObject* obj, MatrixArg& out, const char* param, Subclass subclass) {
    View view(obj, 2, out.lease(), subclass);
    if (!view.usable()) return false;
    const auto rows = static_cast<std::size_t>(view.extent(0)), cols = static_cast<std::size_t>(view.extent(1));
    out.block(rows, cols);
    if (view.lendable()) {
        view.keep();
        return true;
    }
    std::vector<double>& values = out.owned();
    values.resize(rows * cols);
    for (std::size_t r = 0; r < rows; ++r) {
        view.read_line(view.base() + static_cast<Py_ssize_t>(r) * view.stride(0), view.extent(1), view.stride(1),
                       values.data() + r * cols, param);
    }
    return true;
}

}  // namespace valmora::py
