#include "convert.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "stop.hpp"

namespace valmora::py {
namespace {

// A lying __len__ must not make us reserve more than this up front; real data grows past it.
constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;
// Items of a list or tuple converted between polls for a stop request.
constexpr std::size_t kItemsPerPoll = std::size_t{1} << 16;

SharedObject sequence_type;

// Imported when the module is executed (load_sequence_type), so that no conversion imports it: a
// signal handler calling us while a first conversion imported it would find it half made.
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

// Which objects stand for a missing element of a vector or matrix, read as NaN: pandas' pd.NA, and
// None too in the object array a frame gives (a polars null); a scalar argument has none.
enum class Missing { none, pandas, pandas_and_none };

// After a failed number conversion: whether `obj` stands for a missing value, read as NaN.
bool missing_as_nan(PyObject* obj, double& out, Missing missing) {
    if (missing == Missing::none) return false;
    bool is_missing = missing == Missing::pandas_and_none && obj == Py_None;
    if (!is_missing) {
        // pd.NA is looked up (once pandas is loaded) with the conversion's error put aside.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (!find_pandas()) {
            PyRef dropped[] = {PyRef(type), PyRef(value), PyRef(traceback)};
            return false;
        }
        PyErr_Restore(type, value, traceback);
        is_missing = is_missing_value(obj);
    }
    if (is_missing) {
        PyErr_Clear();
        out = std::numeric_limits<double>::quiet_NaN();
    }
    return is_missing;
}

// A float (or subclass), an exact int or a bool converts without running Python code.
inline bool plain_number(PyObject* obj) {
    return PyFloat_CheckExact(obj) || PyLong_CheckExact(obj) || PyBool_Check(obj) || PyFloat_Check(obj);
}

bool read_number(PyObject* obj, double& out, Missing missing, CallState* state) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AsDouble(obj);  // an exact float always reads: no error to look for
        return true;
    }
    if (state != nullptr && !plain_number(obj)) state->before_python();
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return missing_as_nan(obj, out, missing);
    out = v;
    return true;
}

// Room for `more` values after those in `out`, grown geometrically: rows of a matrix share it.
void make_room(std::vector<double>& out, std::size_t more) {
    const std::size_t need = out.size() + more;
    if (need > out.capacity()) out.reserve(std::max(need, 2 * out.capacity()));
}

// The items of an exact list or tuple, walked by index as their iterators would be, each written
// through a pointer held in a register (push_back, loading and storing the vector's end at every
// item, made a list read 1.2 times slower). An item that is not a plain number may run code that
// changes the list (so may a handler at a poll): the list is then held, and its length read again.
bool append_items(PyObject* seq, std::vector<double>& out, Missing missing, CallState* state) {
    const bool list = PyList_CheckExact(seq) != 0;
    const std::size_t base = out.size();
    Py_ssize_t n = 0, i = 0;
    double* to = nullptr;
    auto reread = [&] {  // room for every item, grown geometrically (the rows of a matrix share it)
        n = list ? PyList_Size(seq) : PyTuple_Size(seq);
        if (static_cast<std::size_t>(n) > out.size() - base) out.resize(base + static_cast<std::size_t>(n));
        to = out.data() + base;
    };
    reread();
    PyRef held;  // a row may be dropped from its matrix by code that runs while it is read
    for (Py_ssize_t next_poll = static_cast<Py_ssize_t>(kItemsPerPoll); i < n; ++i) {
        if (i == next_poll) {
            if (!held) held.reset(Py_NewRef(seq));
            next_poll += static_cast<Py_ssize_t>(kItemsPerPoll);
            poll_stop();
            if (reread(), i >= n) break;
        }
        PyObject* item = list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i);
        if (PyFloat_CheckExact(item)) {
            to[i] = PyFloat_AsDouble(item);
        } else if (plain_number(item)) {
            if (!read_number(item, to[i], missing, state)) return false;
        } else {
            if (!held) held.reset(Py_NewRef(seq));
            PyRef item_held(Py_NewRef(item));
            if (!read_number(item, to[i], missing, state)) return false;
            reread();
        }
    }
    out.resize(base + static_cast<std::size_t>(i));
    return true;
}

// Walks a non-str sequence by iteration: reserve(length hint), then take(item) for each (borrowed).
template <class Reserve, class Take>
bool for_each_item(PyObject* obj, CallState* state, Reserve reserve, Take take) {
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
    if (state != nullptr) state->before_python();
    const Py_ssize_t length = PyObject_Size(obj);
    // A length that cannot be had only costs the reservation; an interrupt still ends the call.
    if (length >= 0) reserve(static_cast<std::size_t>(std::min(length, kMaxReserve)));
    else if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    else PyErr_Clear();
    PyRef iter(PyObject_GetIter(obj));
    if (!iter) return false;
    for (std::size_t k = 1;; ++k) {
        if (k % 4096 == 0) poll_stop();
        PyRef item(PyIter_Next(iter.get()));
        if (!item) return !PyErr_Occurred();
        if (!take(item.get())) return false;
    }
}

// Whether `obj` may be an array of a type read through its buffer, the types being found.
bool exports_buffer(PyObject* obj, CallState* state, bool& ok) {
    ok = true;
    return PyObject_CheckBuffer(obj) && (ok = find_buffer_types(state));
}

// Any sequence of numbers into `out` (a vector, or a row of a matrix).
bool append_vector(PyObject* obj, std::vector<double>& out, Missing missing, CallState* state, const char* param) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return append_items(obj, out, missing, state);
    bool ok;
    if (exports_buffer(obj, state, ok) && append_buffer_vector(obj, out, param)) return true;
    if (!ok) return false;
    return for_each_item(
        obj, state, [&](std::size_t length) { make_room(out, length); },
        [&](PyObject* item) {
            double v;
            if (!read_number(item, v, missing, nullptr)) return false;
            out.push_back(v);
            return true;
        });
}

// An array read item by item where its buffer is not (object dtype, as a frame of mixed integer and
// bool columns gives); a 0-d array has no items to read.
bool is_array_of_rows(PyObject* obj) {
    if (!is_ndarray(obj)) return false;
    PyRef ndim(PyObject_GetAttrString(obj, "ndim"));
    const long n = ndim ? PyLong_AsLong(ndim.get()) : 0;
    // A subclass's property may run Python code: an interrupt there is not passed over.
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
    return n >= 1;
}

enum class Read { done, by_items, failed };

// Reads `obj` through its buffer, or that of the array a frame offers. Otherwise `obj` is left as
// what the item-by-item path walks (the offered array when it has items, kept by `offered`), and
// `missing` says which items stand for a missing value.
template <class Arg>
Read read_array(PyObject*& obj, const Param& param, Arg& out,
                bool (*read_buffer)(PyObject*, Arg&, const char*, Subclass), CallState& state, PyRef& offered,
                Missing& missing) {
    missing = Missing::pandas;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyUnicode_Check(obj) || obj == Py_None) {
        return Read::by_items;
    }
    // An export that failed with an interrupt (a subclass's __buffer__ may run code) ends the call.
    auto read = [&](PyObject* from, Subclass subclass) {
        if (!read_buffer(from, out, param.name, subclass)) return PyErr_Occurred() ? Read::failed : Read::by_items;
        if (out.lent()) state.lent(out, param.name);
        return Read::done;
    };
    bool ok;
    if (exports_buffer(obj, &state, ok)) return read(obj, Subclass::refused);
    if (!ok) return Read::failed;
    state.before_python();
    if (!offered_array(obj, param.name, param.argument, param.axes, state.labels, offered)) return Read::failed;
    if (offered) {
        // numpy may have been imported only now, by __array__ itself.
        if (!find_buffer_types(&state)) return Read::failed;
        // What __array__ gives may be a subclass (np.memmap): read through its buffer too, copied.
        if (const Read r = read(offered.get(), Subclass::copied); r != Read::by_items) return r;
        if (is_array_of_rows(offered.get())) {
            obj = offered.get();
            missing = Missing::pandas_and_none;
        }
    }
    return Read::by_items;
}

}  // namespace

bool conversion_failed(const char* param) {
    wrap_conversion_error(param);
    return false;
}

// ------------------------------------------------------------------------------ the call's state

namespace {

CallState*& current_call() noexcept {
    static thread_local CallState* current = nullptr;
    return current;
}

}  // namespace

CallState::CallState() noexcept : slot_(&current_call()), previous_(*slot_) { *slot_ = this; }

CallState::~CallState() noexcept(false) { *slot_ = previous_; }

CallState* CallState::current() noexcept { return current_call(); }

void CallState::lent(Values& values, const char* param) noexcept { lent_[count_++] = {&values, param}; }

void CallState::before_python() {
    if (count_ == 0) return;
    for (std::size_t i = 0; i < count_; ++i) lent_[i].first->copy_lent();
    const std::size_t n = std::exchange(count_, 0);
    for (std::size_t i = 0; i < n; ++i) lent_[i].first->give_back();
}

bool CallState::intact() const {
    for (std::size_t i = 0; i < count_; ++i) {
        if (!lent_[i].first->intact()) {
            set_resized_error(lent_[i].second);
            return false;
        }
    }
    return true;
}

bool stop_requested() {
    if (PyErr_CheckSignals() < 0) return true;
    const CallState* state = CallState::current();
    return state != nullptr && !state->intact();
}

// -------------------------------------------------------------------------------- the converters

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

bool to_double(PyObject* obj, const char* param, double& out, CallState* state) {
    return read_number(obj, out, Missing::none, state) || conversion_failed(param);
}

bool to_size(PyObject* obj, const char* param, std::uint64_t& out, CallState* state) {
    unsigned long long v;
    // Any int, subclasses included, is read from its digits without __index__.
    if (PyLong_CheckExact(obj) || PyLong_Check(obj)) {
        v = PyLong_AsUnsignedLongLong(obj);
    } else {
        if (state != nullptr) state->before_python();
        PyRef index(PyNumber_Index(obj));
        if (!index) return conversion_failed(param);
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return conversion_failed(param);
    out = v;
    return true;
}

namespace {

// Rows, each a sequence of numbers, into `out`.
bool append_rows(PyObject* obj, MatrixArg& out, Missing missing, CallState& state, const char* param) {
    std::vector<double>& values = out.owned();
    auto take_row = [&](PyObject* row) {
        // A list or tuple holds itself once code may run; any other row may run code at once.
        PyRef held(PyList_CheckExact(row) || PyTuple_CheckExact(row) ? nullptr : Py_NewRef(row));
        if (!append_vector(row, values, missing, &state, param)) return false;
        out.end_row();
        return true;
    };
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // Rows walked by index, as for a vector. Room is made once for the values the rows that
        // are lists or tuples hold: a long first row is no promise for the rest.
        const bool list = PyList_CheckExact(obj) != 0;
        Py_ssize_t n = list ? PyList_Size(obj) : PyTuple_Size(obj);
        std::size_t total = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* row = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
            if (PyList_CheckExact(row)) total += static_cast<std::size_t>(PyList_Size(row));
            else if (PyTuple_CheckExact(row)) total += static_cast<std::size_t>(PyTuple_Size(row));
        }
        values.reserve(total);
        out.begin_rows(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!take_row(list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i))) return false;
            if (list) n = PyList_Size(obj);  // a row's conversion may have changed the list
        }
        return true;
    }
    out.begin_rows(0);
    return for_each_item(
        obj, &state, [&](std::size_t length) { out.begin_rows(length); }, take_row);
}

// Through a buffer, or the array a frame offers, else item by item.
template <class Arg, class ByItems>
bool convert_values(PyObject* obj, const Param& param, Arg& out, CallState& state,
                    bool (*read_buffer)(PyObject*, Arg&, const char*, Subclass), ByItems by_items) {
    PyRef offered;
    Missing missing;
    switch (read_array(obj, param, out, read_buffer, state, offered, missing)) {
        case Read::done: return true;
        case Read::failed: return conversion_failed(param.name);
        case Read::by_items: break;
    }
    return by_items(obj, missing) || conversion_failed(param.name);
}

}  // namespace

bool to_vector(PyObject* obj, const Param& param, VectorArg& out, CallState& state) {
    return convert_values(obj, param, out, state, read_buffer_vector, [&](PyObject* items, Missing missing) {
        return append_vector(items, out.owned(), missing, &state, param.name);
    });
}

bool to_matrix(PyObject* obj, const Param& param, MatrixArg& out, CallState& state) {
    return convert_values(obj, param, out, state, read_buffer_matrix, [&](PyObject* rows, Missing missing) {
        return append_rows(rows, out, missing, state, param.name);
    });
}

bool to_text(PyObject* obj, const char* param, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        raise_not_instance(obj, reinterpret_cast<PyObject*>(&PyUnicode_Type));
        return conversion_failed(param);
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) return conversion_failed(param);
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

}  // namespace valmora::py
