#include "convert.hpp"

#include <algorithm>
#include <limits>

#include "frames.hpp"
#include "stop.hpp"

namespace valmora::py {
namespace {

// A lying __len__ must not make us reserve more than this up front; real data grows past it.
constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;

SharedObject sequence_type;

// Imported when the module is executed (load_sequence_type), so that no conversion imports it:
// a signal handler calling us while a first conversion imported it would find it half made.
PyObject* get_sequence_type() {
    return sequence_type.get([]() -> PyObject* {
        PyRef name(PyUnicode_FromString("collections.abc"));
        if (!name) return nullptr;
        // Nearly always loaded already: then taken as loaded, without calling an import hook.
        PyRef abc(PyImport_GetModule(name.get()));
        if (!abc && !PyErr_Occurred()) abc.reset(PyImport_Import(name.get()));
        return abc ? PyObject_GetAttrString(abc.get(), "Sequence") : nullptr;
    });
}

// The type's __qualname__ when it is a str, else a stand-in text.
PyRef type_name(PyObject* type) {
    PyRef name(PyObject_GetAttrString(type, "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        name.reset(PyUnicode_FromString("<failed to extract type name>"));
    }
    return name;
}

// The conversion-error rule: an exact TypeError becomes "argument '{param}': {message}",
// keeping its __cause__; every other exception passes unchanged.
void wrap_conversion_error(const char* param) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyRef old_type(type), old_value(value), old_traceback(traceback);
    PyRef message(PyUnicode_FromFormat("argument '%s': %S", param, value));
    if (!message) return;
    PyRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) return;
    if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(replacement.get(), cause);
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

bool fail(const char* param) {
    wrap_conversion_error(param);
    return false;
}

// Which objects stand for a missing element of a vector or matrix, read as NaN: pandas' pd.NA
// anywhere, and None too in the object array a frame or series gives (a polars null). A scalar
// argument has none: pd.NA there fails as any object without __float__ does.
enum class Missing { none, pandas, pandas_and_none };

bool read_double(PyObject* obj, double& out, Missing missing = Missing::none) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        const bool is_missing = missing != Missing::none &&
                                (is_missing_value(obj) || (missing == Missing::pandas_and_none && obj == Py_None));
        if (!is_missing) return false;
        PyErr_Clear();
        out = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    out = v;
    return true;
}

// Walks the items of a non-str sequence in order, calling `take` on each (borrowed) item.
template <class Take>
bool for_each_item(PyObject* obj, Py_ssize_t& reserve, Take take) {
    if (PyUnicode_Check(obj)) {
        // Compatibility text, kept word for word (callers match on it): the wording of a
        // vector extractor, not of this module.
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        if (PyObject* expected = get_sequence_type()) raise_not_instance(obj, expected);
        return false;
    }
    reserve = PyObject_Size(obj);
    if (reserve < 0) {
        // A length that cannot be had only costs the reservation; an interrupt still ends the call.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
        reserve = 0;
    }
    // Exact lists and tuples report their true length; other sequences may not.
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) reserve = std::min(reserve, kMaxReserve);

    // Exact lists and tuples are walked by index, as their iterators would, in runs with a poll
    // before each. Converting an item that is not a plain number may run code that changes the
    // list (so may a handler run at a poll), so that item is held while it converts and the
    // length is read afresh at every step.
    constexpr std::size_t kRun = 4096;
    constexpr std::size_t kUnbounded = ~std::size_t{0};
    bool ok = true;
    if (PyList_CheckExact(obj)) {
        Py_ssize_t i = 0;
        in_runs(
            kUnbounded,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t k = begin; k < end; ++k, ++i) {
                    if (i >= PyList_Size(obj)) return false;
                    PyObject* item = PyList_GetItem(obj, i);
                    if (is_plain_number(item)) {
                        ok = take(item);
                    } else {
                        PyRef held(Py_NewRef(item));
                        ok = take(held.get());
                    }
                    if (!ok) return false;
                }
                return true;
            },
            kRun);
        return ok;
    }
    if (PyTuple_CheckExact(obj)) {
        const auto n = static_cast<std::size_t>(PyTuple_Size(obj));
        in_runs(
            n,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end && ok; ++i)
                    ok = take(PyTuple_GetItem(obj, static_cast<Py_ssize_t>(i)));
                return ok;
            },
            kRun);
        return ok;
    }
    PyRef iter(PyObject_GetIter(obj));
    if (!iter) return false;
    in_runs(
        kUnbounded,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                PyRef item(PyIter_Next(iter.get()));
                if (!item) return false;
                ok = take(item.get());
                if (!ok) return false;
            }
            return true;
        },
        kRun);
    return ok && !PyErr_Occurred();
}

bool append_vector(PyObject* obj, std::vector<double>& out, Missing missing = Missing::pandas) {
    if (append_buffer_vector(obj, out)) return true;
    Py_ssize_t reserve = 0;
    return for_each_item(obj, reserve, [&](PyObject* item) {
        if (reserve > 0) {
            // Rows of a matrix share one buffer: grow it geometrically, never to the exact need.
            const std::size_t need = out.size() + static_cast<std::size_t>(reserve);
            if (need > out.capacity()) out.reserve(std::max(need, 2 * out.capacity()));
            reserve = 0;
        }
        double v;
        if (!read_double(item, v, missing)) return false;
        out.push_back(v);
        return true;
    });
}

// An array whose items are read one by one when its buffer cannot be read (object dtype, as a
// frame of mixed integer and bool columns gives); a 0-d array has no items to read.
bool is_array_of_rows(PyObject* obj) {
    if (!is_ndarray(obj)) return false;
    PyRef ndim(PyObject_GetAttrString(obj, "ndim"));
    const long n = ndim ? PyLong_AsLong(ndim.get()) : 0;
    // A subclass's property may run Python code: an interrupt there is not passed over.
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
    return n >= 1;
}

// Array-like objects that are not arrays themselves (pandas and polars frames and series,
// xarray) offer their values through __array__: such an object (not a list or tuple, exporting
// no buffer) is read as the array __array__() returns, called once. `offered` stays empty for
// every other object, which converts as it always has. The call runs Python code, so such an
// object is never plain.
bool take_offered_array(PyObject* obj, PyRef& offered) {
    if (PyList_Check(obj) || PyTuple_Check(obj) || PyUnicode_Check(obj) || PyObject_CheckBuffer(obj) ||
        obj == Py_None) {
        return true;
    }
    PyRef method(PyObject_GetAttrString(obj, "__array__"));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!numeric_columns(obj)) return false;
    offered.reset(PyObject_CallNoArgs(method.get()));
    // numpy may have been imported only now, by __array__ itself.
    return offered && find_buffer_types();
}

}  // namespace

// A float subclass is read from its stored value; an int subclass may define __float__.
namespace {

template <class Item>
bool all_items(PyObject* obj, Item plain_item) {
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0, n = PyList_Size(obj); i < n; ++i) {
            if (!plain_item(PyList_GetItem(obj, i))) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0, n = PyTuple_Size(obj); i < n; ++i) {
            if (!plain_item(PyTuple_GetItem(obj, i))) return false;
        }
        return true;
    }
    return false;
}

}  // namespace

bool is_plain_vector(PyObject* obj) { return all_items(obj, is_plain_number) || has_plain_buffer(obj, 1); }

bool is_plain_rows(PyObject* obj) { return all_items(obj, is_plain_vector) || has_plain_buffer(obj, 2); }

// Compatibility text, kept word for word (callers match on it), None worded apart as before.
void raise_not_instance(PyObject* obj, PyObject* expected_type) {
    if (obj == Py_None) {
        PyRef expected = type_name(expected_type);
        if (expected) PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", expected.get());
        return;
    }
    raise_type_not_instance(reinterpret_cast<PyObject*>(Py_TYPE(obj)), expected_type);
}

void raise_type_not_instance(PyObject* type, PyObject* expected_type) {
    PyRef expected = type_name(expected_type);
    PyRef actual = type_name(type);
    if (!expected || !actual) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", actual.get(), expected.get());
}

bool load_sequence_type() { return get_sequence_type() != nullptr; }

bool to_double(PyObject* obj, const char* param, double& out) { return read_double(obj, out) || fail(param); }

bool to_size(PyObject* obj, const char* param, std::uint64_t& out) {
    unsigned long long v;
    if (PyLong_Check(obj)) {
        v = PyLong_AsUnsignedLongLong(obj);
    } else {
        PyRef index(PyNumber_Index(obj));
        if (!index) return fail(param);
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail(param);
    out = v;
    return true;
}

namespace {

enum class Read { done, by_items, failed };

// Reads `obj` through its buffer, or through the buffer of the array it offers. Otherwise `obj`
// is left as what the item-by-item path walks: the offered array when it has items, else the
// object itself; `offered` keeps that array alive meanwhile.
template <class Arg>
Read read_array(PyObject*& obj, Arg& out, bool (*read_buffer)(PyObject*, Arg&, Subclass), PyRef& offered) {
    if (read_buffer(obj, out, Subclass::refused)) return Read::done;
    if (!take_offered_array(obj, offered)) return Read::failed;
    if (offered) {
        // What __array__ gives may be a subclass (np.memmap): read through its buffer too, copied.
        if (read_buffer(offered.get(), out, Subclass::copied)) return Read::done;
        if (is_array_of_rows(offered.get())) obj = offered.get();
    }
    return Read::by_items;
}

}  // namespace

bool to_vector(PyObject* obj, const char* param, VectorArg& out) {
    PyRef offered;
    switch (read_array(obj, out, read_buffer_vector, offered)) {
        case Read::done: return true;
        case Read::failed: return fail(param);
        case Read::by_items: break;
    }
    const Missing missing = offered && obj == offered.get() ? Missing::pandas_and_none : Missing::pandas;
    return append_vector(obj, out.values(), missing) || fail(param);
}

bool to_matrix(PyObject* obj, const char* param, MatrixArg& out) {
    PyRef offered;
    switch (read_array(obj, out, read_buffer_matrix, offered)) {
        case Read::done: return true;
        case Read::failed: return fail(param);
        case Read::by_items: break;
    }
    const Missing missing = offered && obj == offered.get() ? Missing::pandas_and_none : Missing::pandas;
    Matrix& m = out.rows();
    Py_ssize_t reserve = 0;
    const bool ok = for_each_item(obj, reserve, [&](PyObject* row) {
        if (reserve > 0) {
            m.reserve_rows(static_cast<std::size_t>(reserve));
            reserve = 0;
        }
        if (!append_vector(row, m.values(), missing)) return false;
        m.end_row();
        return true;
    });
    return ok || fail(param);
}

bool to_text(PyObject* obj, const char* param, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        raise_not_instance(obj, reinterpret_cast<PyObject*>(&PyUnicode_Type));
        return fail(param);
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) return fail(param);
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

}  // namespace valmora::py
