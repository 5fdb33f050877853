#include "frames.hpp"

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "stop.hpp"

namespace valmora::py {
namespace {

// Reading labels and column kinds expects a few failures, each meaning "nothing to say here": a
// missing attribute, labels that cannot be compared or hashed, an export that is no capsule. Any
// other exception (a signal handler's own, MemoryError, KeyboardInterrupt) ends the call.
bool expected(PyObject* type) {
    if (!PyErr_ExceptionMatches(type)) return false;
    PyErr_Clear();
    return true;
}
bool absent() { return expected(PyExc_AttributeError); }
bool incomparable() { return expected(PyExc_TypeError) || expected(PyExc_ValueError); }

// An attribute that may be missing: null with no exception set when it is; false otherwise
// only with the exception that ends the call.
bool optional_attr(PyObject* obj, const char* name, PyRef& out) {
    out.reset(PyObject_GetAttrString(obj, name));
    return out || absent();
}

// An attribute that `obj`'s type defines. A frame hands out a column for an attribute its type
// lacks (`df.dtype` is the column named 'dtype'): such a column is not the attribute.
bool member(PyObject* obj, const char* name, PyRef& out) {
    out.reset();
    PyRef defined;
    if (!optional_attr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), name, defined)) return false;
    return !defined || optional_attr(obj, name, out);
}

// ------------------------------------------------------------------------------------- labels

using Axis = LabelCheck::Axis;
using Member = LabelCheck::Member;
using Labelled = LabelCheck::Labelled;

const char* axis_name(Axis axis) { return axis == Axis::index ? "index" : "columns"; }

// pandas' Index type and missing value pd.NA, once pandas is loaded. The type is published first,
// so a thread that sees the missing value sees the type too.
SharedObject pandas_index, missing_value, pandas_name;

// Whether `labels` are a pandas Index: pandas objects have their default index compared too.
bool from_pandas(PyObject* labels) {
    PyObject* index = pandas_index.peek();
    return index != nullptr && PyType_IsSubtype(Py_TYPE(labels), reinterpret_cast<PyTypeObject*>(index)) != 0;
}

// The start and step of a range (pandas' RangeIndex, Python's range); `range` false for other
// labels.
bool range_of(PyObject* labels, PyRef& start, PyRef& step, bool& range) {
    range = false;
    if (!member(labels, "start", start) || !member(labels, "step", step)) return false;
    range = start && step && PyLong_Check(start.get()) && PyLong_Check(step.get());
    return true;
}

// Whether `labels` only count positions: 0, 1, 2, ... (pandas' default RangeIndex, a range) or
// "column_0", "column_1", ... (the names polars gives the columns of an unnamed array).
bool are_positions(PyObject* labels, bool& ok) {
    ok = true;
    if (PyList_CheckExact(labels)) {
        const Py_ssize_t n = PyList_Size(labels);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyRef expected(PyUnicode_FromFormat("column_%zd", i));
            if (!expected) return ok = false;
            PyObject* label = PyList_GetItem(labels, i);
            if (!PyUnicode_CheckExact(label) || PyUnicode_Compare(label, expected.get()) != 0) return false;
        }
        return n > 0;
    }
    PyRef start, step;
    bool range = false;
    if (!(ok = range_of(labels, start, step, range)) || !range) return false;
    auto is = [](PyObject* v, long expected) {
        const long value = PyLong_AsLong(v);
        if (value == -1 && PyErr_Occurred()) PyErr_Clear();  // too large for a long: not 0 or 1
        return value == expected;
    };
    return is(start.get(), 0) && is(step.get(), 1);
}

// The labels of `obj` along `axis`, or null when it carries none. pandas' default index is kept,
// with `positions` set: it only counts positions, yet says the argument is read in its own order,
// which another pandas object's labels must then follow.
bool labels_of(PyObject* obj, Axis axis, PyRef& out, bool& positions) {
    positions = false;
    if (!member(obj, axis_name(axis), out)) return false;
    if (!out) return true;
    bool ok = true;
    positions = are_positions(out.get(), ok);
    if (!ok) return false;
    if ((positions && !from_pandas(out.get())) || PyCallable_Check(out.get()) || !PySequence_Check(out.get()))
        out.reset();
    return true;
}

// Two labels agree when == says so, or when both are NaN, as pandas aligns them; labels that
// cannot be compared say nothing, as if they agreed. -1 with the exception set when the
// comparison ended the call.
int same_label(PyObject* x, PyObject* y) {
    const int same = PyObject_RichCompareBool(x, y, Py_EQ);
    if (same < 0) return incomparable() ? 1 : -1;
    if (same == 0 && PyFloat_Check(x) && PyFloat_Check(y)) {
        const double a = PyFloat_AsDouble(x), b = PyFloat_AsDouble(y);
        return a != a && b != b;
    }
    return same;
}

// Two ranges agree over `n` labels when they start and step alike; otherwise they differ first at
// 0 (other starts) or 1 (other steps): no label is walked. `ranges` false when either is no range.
bool range_difference(PyObject* a, PyObject* b, Py_ssize_t n, Py_ssize_t& at, bool& ranges) {
    PyRef start_a, step_a, start_b, step_b;
    bool range_a = false, range_b = false;
    if (!range_of(a, start_a, step_a, range_a) || (range_a && !range_of(b, start_b, step_b, range_b))) return false;
    ranges = range_a && range_b;
    if (!ranges) return true;
    const int starts = PyObject_RichCompareBool(start_a.get(), start_b.get(), Py_EQ);
    const int steps = starts < 0 ? -1 : PyObject_RichCompareBool(step_a.get(), step_b.get(), Py_EQ);
    if (steps < 0) return false;
    at = starts == 0 ? 0 : steps == 0 ? 1 : -1;
    if (at >= n) at = -1;
    return true;
}

// The first position where `a` and `b` hold different labels, or -1 when they agree over their
// common length (a difference of length is the function's own check). Two ranges answer from
// their start and step; pandas' `equals` answers the common case at C speed (any true answer,
// numpy's bool too); otherwise, and to find the position, the labels are walked.
bool first_difference(PyObject* a, PyObject* b, Py_ssize_t& at, PyRef& left, PyRef& right) {
    at = -1;
    const Py_ssize_t na = PyObject_Size(a);
    if (na < 0) return incomparable();
    const Py_ssize_t nb = PyObject_Size(b);
    if (nb < 0) return incomparable();
    const Py_ssize_t n = na < nb ? na : nb;
    if (n <= 0) return true;
    bool ranges = false;
    if (!range_difference(a, b, n, at, ranges)) return false;
    if (ranges) {
        if (at < 0) return true;
        left.reset(PySequence_GetItem(a, at));
        right.reset(left ? PySequence_GetItem(b, at) : nullptr);
        return left && right;
    }
    PyRef equals;
    if (!member(a, "equals", equals)) return false;
    if (equals && PyCallable_Check(equals.get())) {
        PyRef answer(PyObject_CallFunctionObjArgs(equals.get(), b, nullptr));
        const int same = answer ? PyObject_IsTrue(answer.get()) : -1;
        if (same > 0) return true;
        if (same < 0 && !incomparable()) return false;
    }
    PyRef ia(PyObject_GetIter(a));
    if (!ia) return incomparable();
    PyRef ib(PyObject_GetIter(b));
    if (!ib) return incomparable();
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i % 4096 == 4095) poll_stop();
        PyRef x(PyIter_Next(ia.get()));
        PyRef y(x ? PyIter_Next(ib.get()) : nullptr);
        if (!x || !y) return !PyErr_Occurred() || incomparable();
        const int same = same_label(x.get(), y.get());
        if (same < 0) return false;
        if (same == 0) {
            at = i;
            left = std::move(x);
            right = std::move(y);
            return true;
        }
    }
    return true;
}

// The first label met a second time, or null when each label is met once (or the labels cannot
// be hashed). pandas' `is_unique` answers the common case at C speed.
bool first_repeat(PyObject* labels, PyRef& repeated) {
    PyRef unique;
    if (!member(labels, "is_unique", unique)) return false;
    if (unique) {
        const int yes = PyObject_IsTrue(unique.get());
        if (yes > 0) return true;
        if (yes < 0 && !incomparable()) return false;
    }
    PyRef seen(PySet_New(nullptr));
    if (!seen) return false;
    PyRef it(PyObject_GetIter(labels));
    if (!it) return incomparable();
    for (std::size_t i = 1;; ++i) {
        if (i % 4096 == 0) poll_stop();
        PyRef label(PyIter_Next(it.get()));
        if (!label) return !PyErr_Occurred() || incomparable();
        const int met = PySet_Contains(seen.get(), label.get());
        if (met < 0) return incomparable();  // an unhashable label: nothing to say
        if (met > 0) {
            repeated = std::move(label);
            return true;
        }
        if (PySet_Add(seen.get(), label.get()) < 0) return false;
    }
}

// Keeps `message`; when a label's repr failed, `plain()` in its place, which words the refusal
// without the labels (an interrupt or MemoryError still ends the call with itself).
template <class Plain>
bool keep_message(PyRef& out, PyObject* message, Plain plain) {
    out.reset(message);
    if (out) return true;
    if (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    out.reset(plain());
    return static_cast<bool>(out);
}

// Every label refusal ends with the way to pair by position on purpose.
constexpr const char* kByPosition = "; pass .to_numpy() to pair by position";

// Refuses labels of `member` met more than once, naming the first such label.
bool repeats(const Member& member, PyObject* labels, PyRef& message) {
    PyRef repeated;
    if (!first_repeat(labels, repeated)) return false;
    if (!repeated) return true;
    return keep_message(message,
                        PyUnicode_FromFormat("argument '%s' %s: label %R appears more than once%s", member.param,
                                             axis_name(member.axis), repeated.get(), kByPosition),
                        [&] {
                            return PyUnicode_FromFormat("argument '%s' %s: a label appears more than once%s",
                                                        member.param, axis_name(member.axis), kByPosition);
                        });
}

// Refuses `later` when its labels differ from `earlier`'s, naming both and the first difference.
bool differs(const Labelled& earlier, const Labelled& later, PyRef& message) {
    Py_ssize_t at;
    PyRef left, right;
    if (!first_difference(earlier.labels.get(), later.labels.get(), at, left, right)) return false;
    if (at < 0) return true;
    const Member &a = earlier.member, &b = later.member;
    return keep_message(
        message,
        PyUnicode_FromFormat("argument '%s' %s and argument '%s' %s: labels differ at position %zd: %R != %R%s",
                             a.param, axis_name(a.axis), b.param, axis_name(b.axis), at, left.get(), right.get(),
                             kByPosition),
        [&] {
            return PyUnicode_FromFormat("argument '%s' %s and argument '%s' %s: labels differ at position %zd%s",
                                        a.param, axis_name(a.axis), b.param, axis_name(b.axis), at, kByPosition);
        });
}

}  // namespace

bool LabelCheck::add(const char* param, std::size_t argument, Axes axes, PyObject* obj) {
    for (const Axis axis : {Axis::index, Axis::columns}) {
        const int group = axis == Axis::index ? axes.index : axes.columns;
        if (group == 0 || message_) continue;
        Labelled now{{param, axis}, argument, PyRef(), false};
        if (!labels_of(obj, axis, now.labels, now.positions)) return false;
        if (!now.labels) continue;
        // Labels are held to the group's first that are not a default index. A default index is
        // held to the first earlier labels of another pandas argument, and those to it; two
        // default indexes agree.
        std::vector<Labelled>& seen = seen_[group];
        const Labelled* first = nullptr;
        const Labelled* other = nullptr;
        for (const Labelled& earlier : seen) {
            if (!first && !earlier.positions) first = &earlier;
            if (!other && earlier.positions != now.positions && earlier.argument != now.argument &&
                from_pandas(earlier.labels.get()) && from_pandas(now.labels.get())) {
                other = &earlier;
            }
        }
        if (first && !now.positions) {
            // Labels met more than once align ambiguously: refused wherever labels are compared.
            // Those that agree with the first repeat where it does, so only the first is checked.
            if (!std::exchange(checked_[group], true) && !repeats(first->member, first->labels.get(), message_))
                return false;
            if (message_) continue;
            if (!differs(*first, now, message_)) return false;
            if (message_) continue;
        }
        if (other && !differs(*other, now, message_)) return false;
        seen.push_back(std::move(now));
    }
    return true;
}

LabelCheck::~LabelCheck() noexcept(false) {
    for (std::vector<Labelled>& seen : seen_) {
        for (Labelled& labelled : seen) PyRef dropped(labelled.labels.release());
    }
}

bool LabelCheck::agree() {
    if (!message_) return true;
    PyErr_SetObject(PyExc_ValueError, message_.get());
    return false;
}

// ------------------------------------------------------------------------------- column kinds

namespace {

enum class Held { numbers, dates, times, durations, strings, bytes, categories, lists, structs, maps, unions, unknown };

const char* held_name(Held held) {
    static constexpr const char* kNames[] = {"numbers",    "dates", "times",   "durations", "strings", "bytes",
                                             "categories", "lists", "structs", "maps",      "unions",  "numbers"};
    return kNames[static_cast<int>(held)];
}

bool text_is(PyObject* text, const char* expected, bool prefix = false) {
    const char* s = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, nullptr) : nullptr;
    if (s == nullptr) {
        PyErr_Clear();
        return false;
    }
    return prefix ? std::strncmp(s, expected, std::strlen(expected)) == 0 : std::strcmp(s, expected) == 0;
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

bool starts(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// What an Arrow field holds, from its format string. Booleans, integers, floats, decimals and
// nulls are numbers; every other kind `__array__` would give as objects that are not numbers.
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
    if (starts(f, "+s")) return Held::structs;
    if (starts(f, "+m")) return Held::maps;
    if (starts(f, "+u")) return Held::unions;
    if (f[0] == '+') return Held::lists;  // +l, +L, +w:, +vl, +vL; run-end encoded (+r) too
    if (std::strcmp(f, "u") == 0 || std::strcmp(f, "U") == 0 || std::strcmp(f, "vu") == 0) return Held::strings;
    if (std::strcmp(f, "z") == 0 || std::strcmp(f, "Z") == 0 || std::strcmp(f, "vz") == 0 || starts(f, "w:"))
        return Held::bytes;
    return Held::numbers;
}

// What a numpy-style dtype holds: through the Arrow schema of the type it wraps (pandas'
// pyarrow-backed columns), else from its one-letter `kind` (and, for objects, its `name`:
// pandas' strings, categories and periods are object kinds). `unknown` when it has no kind.
bool held_by_dtype(PyObject* dtype, Held& held) {
    held = Held::unknown;
    PyRef wrapped, export_schema;
    if (!optional_attr(dtype, "pyarrow_dtype", wrapped)) return false;
    if (wrapped && !member(wrapped.get(), "__arrow_c_schema__", export_schema)) return false;
    if (export_schema) {  // a schema capsule's field, released with the capsule
        PyRef capsule(PyObject_CallNoArgs(export_schema.get()));
        const auto* schema =
            capsule ? static_cast<const ArrowSchema*>(PyCapsule_GetPointer(capsule.get(), "arrow_schema")) : nullptr;
        if (schema != nullptr) held = held_by_arrow(*schema);
        return schema != nullptr;
    }
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

// TypeError naming the column (or the unnamed series) and what it holds.
bool refuse(PyObject* column, Held held) {
    const bool named =
        column != nullptr && column != Py_None && !(PyUnicode_Check(column) && PyUnicode_GetLength(column) == 0);
    if (named) PyErr_Format(PyExc_TypeError, "column %R holds %s, not numbers", column, held_name(held));
    else PyErr_Format(PyExc_TypeError, "the series holds %s, not numbers", held_name(held));
    return false;
}

// polars hands an Object column (Python objects, which pandas' object columns also hold) to Arrow
// as fixed-size binary of pointer width; only the column's own dtype tells it from bytes.
bool holds_objects(PyObject* obj, std::int64_t column, bool& objects) {
    objects = false;
    PyRef dtypes, is_object;
    if (!member(obj, "dtypes", dtypes)) return false;
    if (!dtypes || !PyList_Check(dtypes.get()) || column >= PyList_Size(dtypes.get())) return true;
    PyRef dtype(PySequence_GetItem(dtypes.get(), static_cast<Py_ssize_t>(column)));
    if (!dtype || !member(dtype.get(), "is_object", is_object)) return false;
    if (!is_object) return true;
    PyRef answer(PyObject_CallNoArgs(is_object.get()));
    const int yes = answer ? PyObject_IsTrue(answer.get()) : -1;
    objects = yes > 0;
    return yes >= 0;
}

// Refuses column `column` of `obj`, described by `field`, unless it holds numbers, or objects that
// are read one by one as numbers.
bool refuse_arrow_field(PyObject* obj, const ArrowSchema& field, std::int64_t column) {
    const Held held = held_by_arrow(field);
    if (held == Held::numbers) return true;
    if (held == Held::bytes && starts(field.format, "w:")) {
        bool objects;
        if (!holds_objects(obj, column, objects)) return false;
        if (objects) return true;
    }
    PyRef name(PyUnicode_FromString(field.name != nullptr ? field.name : ""));
    if (!name) return false;
    return refuse(name.get(), held);
}

// The Arrow schema of `obj`, from the PyCapsule interface: its own schema export, or that of its
// `schema` (a polars frame), so the data is never touched. Only an object with neither is asked
// for its stream, which some libraries make by copying (a polars frame of several chunks).
// Null, with no exception set, when it exports none or the export cannot be read.
bool arrow_schema_of(PyObject* obj, PyRef& capsule, ArrowSchema& owned, const ArrowSchema*& schema) {
    schema = nullptr;
    PyRef method, holder;
    if (!member(obj, "__arrow_c_schema__", method)) return false;
    if (!method) {
        if (!member(obj, "schema", holder)) return false;
        if (holder && !member(holder.get(), "__arrow_c_schema__", method)) return false;
    }
    if (method) {
        capsule.reset(PyObject_CallNoArgs(method.get()));
        if (!capsule) return false;
        schema = static_cast<const ArrowSchema*>(PyCapsule_GetPointer(capsule.get(), "arrow_schema"));
        return schema != nullptr || expected(PyExc_ValueError);
    }
    if (!member(obj, "__arrow_c_stream__", method)) return false;
    if (!method) return true;
    capsule.reset(PyObject_CallNoArgs(method.get()));
    if (!capsule) return false;
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
    if (stream == nullptr) return expected(PyExc_ValueError);
    // A released stream, or one that gives no schema, says nothing of its columns.
    if (stream->release == nullptr || stream->get_schema == nullptr || stream->get_schema(stream, &owned) != 0) {
        owned = ArrowSchema{};
        return true;
    }
    schema = &owned;
    return true;
}

// Through the Arrow schema: a frame's is a struct of its columns, a series' is its one column
// (a polars Series is asked through the one-column frame it wraps, which shares its data).
// Objects that export no schema pass.
bool numeric_arrow_columns(PyObject* obj, bool frame) {
    PyRef as_frame;
    if (!frame) {
        PyRef to_frame;
        if (!member(obj, "to_frame", to_frame)) return false;
        if (to_frame) {
            as_frame.reset(PyObject_CallNoArgs(to_frame.get()));
            if (!as_frame) return false;
            obj = as_frame.get();
            frame = true;
        }
    }
    PyRef capsule;
    ArrowSchema owned{};
    const ArrowSchema* schema = nullptr;
    struct Release {
        ArrowSchema& s;
        ~Release() noexcept(false) {
            if (s.release != nullptr) s.release(&s);
        }
    } release{owned};
    if (!arrow_schema_of(obj, capsule, owned, schema)) return false;
    if (schema == nullptr || schema->format == nullptr) return true;
    if (!frame || std::strcmp(schema->format, "+s") != 0) return refuse_arrow_field(obj, *schema, 0);
    for (std::int64_t c = 0; c < schema->n_children; ++c) {
        if (schema->children[c] != nullptr && !refuse_arrow_field(obj, *schema->children[c], c)) return false;
    }
    return true;
}

// TypeError "column 'date' holds dates, not numbers" when a column of `obj` holds dates, times,
// durations, strings, bytes, categories or nested values, which `__array__` would turn into
// numbers or into objects that are not numbers. The kinds come from the column types alone:
// numpy-style `dtype.kind` (pandas, xarray; pandas' pyarrow-backed dtypes through their Arrow
// type) or an Arrow C schema (polars' `schema`, pyarrow), never from the data.
bool numeric_columns(PyObject* obj) {
    PyRef dtype;
    if (!member(obj, "dtype", dtype)) return false;
    if (dtype) {  // a series: one column, its name the series' name
        Held held;
        if (!held_by_dtype(dtype.get(), held)) return false;
        if (held == Held::unknown) return numeric_arrow_columns(obj, false);
        if (held == Held::numbers) return true;
        PyRef name;
        if (!member(obj, "name", name)) return false;
        return refuse(name.get(), held);
    }
    PyRef schema, dtypes, columns;
    if (!member(obj, "schema", schema)) return false;
    if (schema) return numeric_arrow_columns(obj, true);
    if (!member(obj, "dtypes", dtypes) || !member(obj, "columns", columns)) return false;
    if (!dtypes || !columns) return numeric_arrow_columns(obj, true);
    // pandas: each column's dtype; a kind it does not know passes, to be read by `__array__`.
    PyRef kinds(PyObject_GetIter(dtypes.get()));
    if (!kinds) return expected(PyExc_TypeError);
    PyRef names(PyObject_GetIter(columns.get()));
    if (!names) return expected(PyExc_TypeError);
    while (PyRef kind{PyIter_Next(kinds.get())}) {
        PyRef name(PyIter_Next(names.get()));
        if (!name) break;
        Held held;
        if (!held_by_dtype(kind.get(), held)) return false;
        if (held != Held::numbers && held != Held::unknown) return refuse(name.get(), held);
    }
    return !PyErr_Occurred();
}

}  // namespace

bool offered_array(PyObject* obj, const char* param, std::size_t argument, Axes axes, LabelCheck& labels,
                   PyRef& offered) {
    PyRef method(PyObject_GetAttrString(obj, "__array__"));
    if (!method) return absent();
    // pandas' own types say which labels are its (a default index is compared between them).
    if (!find_pandas() || !numeric_columns(obj) || !labels.add(param, argument, axes, obj)) return false;
    offered.reset(PyObject_CallNoArgs(method.get()));
    return static_cast<bool>(offered);
}

bool find_pandas() {
    if (missing_value.peek() != nullptr && pandas_index.peek() != nullptr) return true;
    PyObject* key = pandas_name.get([] { return PyUnicode_InternFromString("pandas"); });
    if (key == nullptr) return false;
    PyObject* modules = PyImport_GetModuleDict();                                             // borrowed
    PyObject* pandas = modules != nullptr ? PyDict_GetItemWithError(modules, key) : nullptr;  // borrowed
    if (pandas == nullptr) return !PyErr_Occurred();
    Py_IncRef(pandas);  // the look-up below may run code that drops it from sys.modules
    PyRef holder(pandas);
    PyRef index, na;
    if (!optional_attr(pandas, "Index", index) || !optional_attr(pandas, "NA", na)) return false;
    if (index && PyType_Check(index.get())) pandas_index.publish(index.release());
    if (na) missing_value.publish(na.release());
    return true;
}

bool is_missing_value(PyObject* obj) { return obj == missing_value.peek() && obj != nullptr; }

}  // namespace valmora::py
