#include "convert.hpp"

#include <algorithm>

#include "buffer.hpp"

namespace valmora::py {
namespace {

// A lying __len__ must not make us reserve more than this up front; real data grows past it.
constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;

OnceObject sequence_type;

PyObject* get_sequence_type() {
    return sequence_type.get([]() -> PyObject* {
        PyRef abc(PyImport_ImportModule("collections.abc"));
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

bool read_double(PyObject* obj, double& out) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// Walks the items of a non-str sequence in order, calling `take` on each (borrowed) item.
template <class Take>
bool for_each_item(PyObject* obj, Py_ssize_t& reserve, Take take) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        if (PyObject* expected = get_sequence_type()) raise_not_instance(obj, expected);
        return false;
    }
    reserve = PyObject_Size(obj);
    if (reserve < 0) {
        PyErr_Clear();
        reserve = 0;
    }
    // Exact lists and tuples report their true length; other sequences may not.
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) reserve = std::min(reserve, kMaxReserve);

    // Exact lists and tuples are walked by index, as their iterators would: the list's length
    // is read afresh at each step, since converting an item may run code that changes it.
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_Size(obj); ++i) {
            PyObject* item = PyList_GetItem(obj, i);
            Py_INCREF(item);
            const bool ok = take(item);
            Py_DECREF(item);
            if (!ok) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(obj)) {
        const Py_ssize_t n = PyTuple_Size(obj);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!take(PyTuple_GetItem(obj, i))) return false;
        }
        return true;
    }
    PyRef iter(PyObject_GetIter(obj));
    if (!iter) return false;
    while (PyRef item{PyIter_Next(iter.get())}) {
        if (!take(item.get())) return false;
    }
    return !PyErr_Occurred();
}

bool read_vector(PyObject* obj, std::vector<double>& out) {
    if (read_buffer_vector(obj, out)) return true;
    Py_ssize_t reserve = 0;
    return for_each_item(obj, reserve, [&](PyObject* item) {
        if (reserve > 0) {
            // Rows of a matrix share one buffer: grow it geometrically, never to the exact need.
            const std::size_t need = out.size() + static_cast<std::size_t>(reserve);
            if (need > out.capacity()) out.reserve(std::max(need, 2 * out.capacity()));
            reserve = 0;
        }
        double v;
        if (!read_double(item, v)) return false;
        out.push_back(v);
        return true;
    });
}

}  // namespace

bool is_plain_number(PyObject* obj) {
    return PyFloat_CheckExact(obj) || PyLong_CheckExact(obj) || PyBool_Check(obj);
}

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

bool to_double(PyObject* obj, const char* param, double& out) {
    return read_double(obj, out) || fail(param);
}

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

bool to_vector(PyObject* obj, const char* param, std::vector<double>& out) {
    return read_vector(obj, out) || fail(param);
}

bool to_matrix(PyObject* obj, const char* param, Matrix& out) {
    if (read_buffer_matrix(obj, out)) return true;
    Py_ssize_t reserve = 0;
    const bool ok = for_each_item(obj, reserve, [&](PyObject* row) {
        if (reserve > 0) {
            out.reserve_rows(static_cast<std::size_t>(reserve));
            reserve = 0;
        }
        if (!read_vector(row, out.values())) return false;
        out.end_row();
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

PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

PyObject* to_python(const std::vector<double>& values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* to_python(const Matrix& m) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(m.rows())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < m.rows(); ++i) {
        auto row = m.row(i);
        PyObject* inner = PyList_New(static_cast<Py_ssize_t>(row.size()));
        if (inner == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), inner);
        for (std::size_t j = 0; j < row.size(); ++j) {
            PyObject* item = PyFloat_FromDouble(row[j]);
            if (item == nullptr) return nullptr;
            PyList_SetItem(inner, static_cast<Py_ssize_t>(j), item);
        }
    }
    return list.release();
}

PyObject* to_python(const std::pair<Matrix, double>& shrunk) {
    return tuple_of({to_python(shrunk.first), to_python(shrunk.second)});
}

PyObject* to_python(const std::array<double, 4>& values) {
    return tuple_of({to_python(values[0]), to_python(values[1]), to_python(values[2]), to_python(values[3])});
}

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    PyRef tuple;
    bool complete = true;
    for (PyObject* item : items) complete &= item != nullptr;
    if (complete) tuple.reset(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        if (tuple) PyTuple_SetItem(tuple.get(), i++, item);
        else Py_XDECREF(item);
    }
    return tuple.release();
}

PyObject* raise(const ValidationError& error) {
    PyErr_SetString(PyExc_ValueError, error.message);
    return nullptr;
}

}  // namespace valmora::py
