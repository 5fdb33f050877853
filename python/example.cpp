// `Example`: an immutable object holding one text, shown by str() and repr().
#include "example.hpp"

#include <cstring>
#include <string>

#include "binder.hpp"
#include "call.hpp"

namespace valmora::py {
namespace {

struct ExampleObject {
    PyObject_HEAD
    char* text;  // owned UTF-8, PyMem-allocated
    Py_ssize_t size;
};

ExampleObject* as_example(PyObject* self) { return reinterpret_cast<ExampleObject*>(self); }

constexpr const char* kParams[] = {"value"};
constexpr Signature kSignature{"__new__", "Example", kParams};

PyObject* example_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* slot = nullptr;
        if (!bind_tuple_dict(kSignature, args, kwargs, &slot)) return nullptr;
        std::string text;
        if (!to_text(slot, kParams[0], text)) return nullptr;
        char* owned = static_cast<char*>(PyMem_Malloc(text.size() + 1));
        if (owned == nullptr) return PyErr_NoMemory();
        std::memcpy(owned, text.c_str(), text.size() + 1);

        // The type's allocator, as object.__new__ ends in; calling that would take an empty
        // argument tuple, made for nothing.
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
        PyObject* self = alloc(cls, 0);
        if (self == nullptr) {
            PyMem_Free(owned);
            return nullptr;
        }
        as_example(self)->text = owned;
        as_example(self)->size = static_cast<Py_ssize_t>(text.size());
        return self;
    });
}

PyObject* example_str(PyObject* self) {
    return PyUnicode_FromStringAndSize(as_example(self)->text, as_example(self)->size);
}

PyObject* example_repr(PyObject* self) {
    PyRef text(example_str(self));
    return text ? PyUnicode_FromFormat("Example<%U>", text.get()) : nullptr;
}

void example_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyMem_Free(as_example(self)->text);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));  // instances of a heap type own a reference to it
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Example(value)\n--\n\n")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(example_new)},
    {Py_tp_repr, reinterpret_cast<void*>(example_repr)},
    {Py_tp_str, reinterpret_cast<void*>(example_str)},
    {Py_tp_dealloc, reinterpret_cast<void*>(example_dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "builtins.Example",
    .basicsize = static_cast<int>(sizeof(ExampleObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kSlots,
};

SharedObject example_class;

}  // namespace

PyObject* example_type() {
    return example_class.get([] { return PyType_FromSpec(&kSpec); });
}

}  // namespace valmora::py
