#include "frames.hpp"

#include <cstdint>
#include <cstring>

#include "stop.hpp"

namespace valmora::py {
namespace {

// An attribute that may be missing: null with no exception set when it is, or when reading it
// fails with an ordinary exception; false only for an interrupt (exception set).
bool optional_attr(PyObject* obj, const char* name, PyRef& out) {
    out.reset(PyObject_GetAttrString(obj, name));
    if (out) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// An ordinary exception while reading labels or kinds is passed over (labels that cannot be
// compared differ); an interrupt ends the call.
bool ordinary_failure() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// Objects read through `__array__`: not a list, tuple, str, buffer or None. Only these carry
// labels or column kinds.
bool offers_array(PyObject* obj, bool& ok) {
    ok = true;
    if (PyList_Check(obj) || PyTuple_Check(obj) || PyUnicode_Check(obj) || PyObject_CheckBuffer(obj) ||
        obj == Py_None) {
        return false;
    }
    PyRef method;
    ok = optional_attr(obj, "__array__", method);
    return ok && method;
}

// ------------------------------------------------------------------------------------- labels

enum class Axis { index, columns };

struct Member {
    const char* param;
    Axis axis;
};

// The axes each function reads by position in step: they must carry the same labels.
struct Pairing {
    const char* function;
    Member members[3];
    int count;
};

constexpr Pairing kPairings[] = {
    {"factor_risk_decomposition",
     {{"weights", Axis::index}, {"factor_loadings", Axis::index}, {"specific_variance", Axis::index}},
     3},
    {"factor_risk_decomposition",
     {{"factor_loadings", Axis::columns}, {"factor_covariance", Axis::index}, {"factor_covariance", Axis::columns}},
     3},
    {"correlation_to_covariance",
     {{"correlation", Axis::index}, {"correlation", Axis::columns}, {"volatility", Axis::index}},
     3},
    {"covariance_to_correlation", {{"covariance", Axis::index}, {"covariance", Axis::columns}}, 2},
    {"rolling_correlation", {{"x", Axis::index}, {"y", Axis::index}}, 2},
    {"cointegration_spread", {{"y", Axis::index}, {"x", Axis::index}}, 2},
    {"transfer_entropy", {{"source", Axis::index}, {"target", Axis::index}}, 2},
};

const char* axis_name(Axis axis) { return axis == Axis::index ? "index" : "columns"; }

// Whether `labels` only count positions: 0, 1, 2, ... (pandas' default RangeIndex, a range) or
// "column_0", "column_1", ... (the names polars gives the columns of an unnamed array).
bool are_positions(PyObject* labels, bool& ok) {
    ok = true;
    if (PyList_CheckExact(labels)) {
        const Py_ssize_t n = PyList_Size(labels);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyRef expected(PyUnicode_FromFormat("column_%zd", i));
            if (!expected) return !(ok = ordinary_failure());
            PyObject* label = PyList_GetItem(labels, i);
            if (!PyUnicode_CheckExact(label) || PyUnicode_Compare(label, expected.get()) != 0) return false;
        }
        return n > 0;
    }
    PyRef start, step;
    if (!(ok = optional_attr(labels, "start", start)) || !start) return false;
    if (!(ok = optional_attr(labels, "step", step)) || !step) return false;
    auto is = [](PyObject* v, long expected) {
        if (!PyLong_Check(v)) return false;
        const long value = PyLong_AsLong(v);
        if (value == -1 && PyErr_Occurred()) PyErr_Clear();
        return value == expected;
    };
    return is(start.get(), 0) && is(step.get(), 1);
}

// The labels of `obj` along `axis`, or null when it carries none.
bool labels_of(PyObject* obj, Axis axis, PyRef& out) {
    bool ok = true;
    if (!offers_array(obj, ok)) return ok;
    if (!optional_attr(obj, axis_name(axis), out)) return false;
    if (!out) return true;
    const bool positions = are_positions(out.get(), ok);
    if (!ok) return false;
    if (positions || PyCallable_Check(out.get()) || !PySequence_Check(out.get())) out.reset();
    return true;
}

// The first position where `a` and `b` hold different labels, or -1 when they agree over their
// common length (a difference of length is the function's own check). pandas' `equals` answers
// the common case at C speed; otherwise, and to find the position, the labels are walked.
bool first_difference(PyObject* a, PyObject* b, Py_ssize_t& at, PyRef& left, PyRef& right) {
    at = -1;
    PyRef equals;
    if (!optional_attr(a, "equals", equals)) return false;
    if (equals && PyCallable_Check(equals.get())) {
        PyRef same(PyObject_CallFunctionObjArgs(equals.get(), b, nullptr));
        if (same && same.get() == Py_True) return true;
        if (!same && !ordinary_failure()) return false;
    }
    const Py_ssize_t na = PyObject_Size(a), nb = PyObject_Size(b);
    if ((na < 0 || nb < 0) && !ordinary_failure()) return false;
    const Py_ssize_t n = na < nb ? na : nb;
    if (n <= 0) return true;
    PyRef ia(PyObject_GetIter(a));
    if (!ia) return ordinary_failure();
    PyRef ib(PyObject_GetIter(b));
    if (!ib) return ordinary_failure();
    bool ok = true, ended = false;
    in_runs(
        static_cast<std::size_t>(n),
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; ok && !ended && at < 0 && i < end; ++i) {
                PyRef x(PyIter_Next(ia.get()));
                PyRef y(x ? PyIter_Next(ib.get()) : nullptr);
                if (!x || !y) {
                    ended = true;
                    if (PyErr_Occurred()) ok = ordinary_failure();
                    return;
                }
                const int same = PyObject_RichCompareBool(x.get(), y.get(), Py_EQ);
                if (same < 0 && !(ok = ordinary_failure())) return;
                if (same != 1) {
                    at = static_cast<Py_ssize_t>(i);
                    left = std::move(x);
                    right = std::move(y);
                }
            }
        },
        4096);
    return ok;
}

// The missing value pd.NA, once pandas is loaded.
SharedObject missing_value, pandas_name;

}  // namespace

bool LabelCheck::read(const char* function, const char* const* params, PyObject* const* slots, std::size_t count) {
    auto slot_of = [&](const char* param) -> PyObject* {
        for (std::size_t i = 0; i < count; ++i) {
            if (std::strcmp(params[i], param) == 0) return slots[i];
        }
        return nullptr;
    };
    for (const Pairing& pairing : kPairings) {
        if (std::strcmp(pairing.function, function) != 0) continue;
        PyRef first;
        const Member* first_member = nullptr;
        for (int m = 0; m < pairing.count; ++m) {
            const Member& member = pairing.members[m];
            PyObject* obj = slot_of(member.param);
            PyRef labels;
            if (obj == nullptr) continue;
            if (!labels_of(obj, member.axis, labels)) return false;
            if (!labels) continue;
            if (!first) {
                first = std::move(labels);
                first_member = &member;
                continue;
            }
            Py_ssize_t at;
            PyRef left, right;
            if (!first_difference(first.get(), labels.get(), at, left, right)) return false;
            if (at < 0) continue;
            message_.reset(PyUnicode_FromFormat(
                "argument '%s' %s and argument '%s' %s: labels differ at position %zd: %R != %R", first_member->param,
                axis_name(first_member->axis), member.param, axis_name(member.axis), at, left.get(), right.get()));
            if (!message_) {
                // A label whose repr fails still refuses the call, with the position alone.
                if (!ordinary_failure()) return false;
                message_.reset(PyUnicode_FromFormat(
                    "argument '%s' %s and argument '%s' %s: labels differ at position %zd", first_member->param,
                    axis_name(first_member->axis), member.param, axis_name(member.axis), at));
                if (!message_) return false;
            }
            return true;
        }
    }
    return true;
}

bool LabelCheck::agree() {
    if (!message_) return true;
    PyErr_SetObject(PyExc_ValueError, message_.get());
    return false;
}

// ------------------------------------------------------------------------------- column kinds

namespace {

enum class Held { numbers, dates, times, durations, strings, categories, unknown };

const char* held_name(Held held) {
    switch (held) {
        case Held::dates: return "dates";
        case Held::times: return "times";
        case Held::durations: return "durations";
        case Held::strings: return "strings";
        case Held::categories: return "categories";
        default: return "numbers";
    }
}

bool text_is(PyObject* text, const char* expected, bool prefix = false) {
    if (!PyUnicode_Check(text)) return false;
    const char* s = PyUnicode_AsUTF8AndSize(text, nullptr);
    if (s == nullptr) {
        PyErr_Clear();
        return false;
    }
    return prefix ? std::strncmp(s, expected, std::strlen(expected)) == 0 : std::strcmp(s, expected) == 0;
}

// What a numpy-style dtype holds, from its one-letter `kind` (and, for objects, its `name`:
// pandas' strings, categories and periods are object kinds). `unknown` when it has no kind.
bool held_by_dtype(PyObject* dtype, Held& held) {
    held = Held::unknown;
    PyRef kind, name;
    if (!optional_attr(dtype, "kind", kind)) return false;
    if (!kind || !PyUnicode_Check(kind.get()) || PyUnicode_GetLength(kind.get()) != 1) return true;
    held = Held::numbers;
    switch (PyUnicode_ReadChar(kind.get(), 0)) {
        case 'M': held = Held::dates; return true;
        case 'm': held = Held::durations; return true;
        case 'U':
        case 'S': held = Held::strings; return true;
        case 'O': break;
        default: return true;
    }
    if (!optional_attr(dtype, "name", name)) return false;
    if (!name) return true;
    if (text_is(name.get(), "category")) held = Held::categories;
    else if (text_is(name.get(), "str") || text_is(name.get(), "string", true)) held = Held::strings;
    else if (text_is(name.get(), "period", true)) held = Held::dates;
    return true;
}

// The Arrow C data interface's schema and stream, as that interface fixes them.
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};
struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema*);
    int (*get_next)(ArrowArrayStream*, void*);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

Held held_by_arrow(const ArrowSchema& field) {
    if (field.dictionary != nullptr) return Held::categories;
    const char* f = field.format != nullptr ? field.format : "";
    if (f[0] == 't') {
        switch (f[1]) {
            case 'd':
            case 's': return Held::dates;
            case 't': return Held::times;
            case 'D':
            case 'i': return Held::durations;
            default: return Held::numbers;
        }
    }
    if (std::strcmp(f, "u") == 0 || std::strcmp(f, "U") == 0 || std::strcmp(f, "vu") == 0) return Held::strings;
    return Held::numbers;
}

// TypeError naming the column (or the unnamed series) and what it holds.
bool refuse(PyObject* column, Held held) {
    const bool named =
        column != nullptr && column != Py_None && !(PyUnicode_Check(column) && PyUnicode_GetLength(column) == 0);
    if (named) PyErr_Format(PyExc_TypeError, "column %R holds %s, not numbers", column, held_name(held));
    else PyErr_Format(PyExc_TypeError, "the series holds %s, not numbers", held_name(held));
    return false;
}

bool refuse_arrow_field(const ArrowSchema& field) {
    const Held held = held_by_arrow(field);
    if (held == Held::numbers) return true;
    PyRef name(PyUnicode_FromString(field.name != nullptr ? field.name : ""));
    if (!name) return false;
    return refuse(name.get(), held);
}

// Through the Arrow PyCapsule interface: a frame's schema is a struct of its columns, a
// series' is its one column. Objects that cannot export (pandas without pyarrow) pass.
bool numeric_arrow_columns(PyObject* obj, bool frame) {
    PyRef method;
    if (!optional_attr(obj, "__arrow_c_schema__", method)) return false;
    const bool schema_only = static_cast<bool>(method);
    if (!schema_only && !optional_attr(obj, "__arrow_c_stream__", method)) return false;
    if (!method) return true;
    PyRef capsule(PyObject_CallNoArgs(method.get()));
    if (!capsule) return ordinary_failure();
    ArrowSchema owned{};
    const ArrowSchema* schema = &owned;
    if (schema_only) {
        schema = static_cast<const ArrowSchema*>(PyCapsule_GetPointer(capsule.get(), "arrow_schema"));
    } else {
        auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
        if (stream == nullptr) return ordinary_failure();
        // A released stream, or one that gives no schema, says nothing of its columns.
        if (stream->release == nullptr || stream->get_schema == nullptr || stream->get_schema(stream, &owned) != 0) {
            owned = ArrowSchema{};
        }
    }
    if (schema == nullptr) return ordinary_failure();
    struct Release {
        ArrowSchema& s;
        ~Release() {
            if (s.release != nullptr) s.release(&s);
        }
    } release{owned};
    if (schema->format == nullptr) return true;
    if (!frame || std::strcmp(schema->format, "+s") != 0) return refuse_arrow_field(*schema);
    for (std::int64_t c = 0; c < schema->n_children; ++c) {
        if (schema->children[c] != nullptr && !refuse_arrow_field(*schema->children[c])) return false;
    }
    return true;
}

}  // namespace

bool numeric_columns(PyObject* obj) {
    PyRef dtype;
    if (!optional_attr(obj, "dtype", dtype)) return false;
    if (dtype) {  // a series: one column, its name the series' name
        Held held;
        if (!held_by_dtype(dtype.get(), held)) return false;
        if (held == Held::unknown) return numeric_arrow_columns(obj, false);
        if (held == Held::numbers) return true;
        PyRef name;
        if (!optional_attr(obj, "name", name)) return false;
        return refuse(name.get(), held);
    }
    PyRef dtypes, columns;
    if (!optional_attr(obj, "dtypes", dtypes) || !optional_attr(obj, "columns", columns)) return false;
    if (!dtypes || !columns) return numeric_arrow_columns(obj, true);
    PyRef kinds(PyObject_GetIter(dtypes.get()));
    if (!kinds) return ordinary_failure();
    PyRef names(PyObject_GetIter(columns.get()));
    if (!names) return ordinary_failure();
    while (PyRef kind{PyIter_Next(kinds.get())}) {
        PyRef name(PyIter_Next(names.get()));
        if (!name) break;
        Held held;
        if (!held_by_dtype(kind.get(), held)) return false;
        if (held == Held::unknown) return numeric_arrow_columns(obj, true);
        if (held != Held::numbers) return refuse(name.get(), held);
    }
    return !PyErr_Occurred() || ordinary_failure();
}

bool find_missing_value() {
    if (missing_value.peek() != nullptr) return true;
    PyObject* key = pandas_name.get([] { return PyUnicode_InternFromString("pandas"); });
    if (key == nullptr) return false;
    PyObject* modules = PyImport_GetModuleDict();                                             // borrowed
    PyObject* pandas = modules != nullptr ? PyDict_GetItemWithError(modules, key) : nullptr;  // borrowed
    if (pandas == nullptr) return !PyErr_Occurred() || ordinary_failure();
    Py_IncRef(pandas);  // the look-up below may run code that drops it from sys.modules
    PyRef holder(pandas);
    PyRef na;
    if (!optional_attr(pandas, "NA", na)) return false;
    if (na) missing_value.publish(na.release());
    return true;
}

bool is_missing_value(PyObject* obj) { return obj == missing_value.peek() && obj != nullptr; }

}  // namespace valmora::py
