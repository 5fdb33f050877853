// The module definition and the execution step that registers the class and the functions.
#include <Python.h>

#include "convert.hpp"
#include "example.hpp"
#include "call.hpp"
#include "functions.hpp"
#include "processors.hpp"
#include "pyref.hpp"

namespace valmora::py {
namespace {

struct Names {
    PyObject* all;
    PyObject* name;
};

SharedObject interned_all, interned_name;

bool get_names(Names& names) {
    names.all = interned_all.get([] { return PyUnicode_InternFromString("__all__"); });
    names.name = interned_name.get([] { return PyUnicode_InternFromString("__name__"); });
    return names.all != nullptr && names.name != nullptr;
}

// The one way anything is put on the module: record the name in __all__, then set it.
int add_to_module(PyObject* module, PyObject* all_name, PyObject* name, PyObject* value) {
    PyRef all(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        raise_type_not_instance(reinterpret_cast<PyObject*>(Py_TYPE(all.get())),
                                reinterpret_cast<PyObject*>(&PyList_Type));
        return -1;
    }
    if (PyList_Append(all.get(), name) < 0) return -1;
    return PyObject_SetAttr(module, name, value);
}

int exec_module(PyObject* module) {
    // A kernel level asked for that this processor does not offer stops the import.
    if (const char* refused = processors::environment_error()) {
        PyErr_SetString(PyExc_RuntimeError, refused);
        return -1;
    }
    install_stop_probe(interrupted);
    Names names;
    if (!get_names(names) || !load_sequence_type()) return -1;
    PyObject* example = example_type();
    if (example == nullptr) return -1;
    PyRef example_name(PyUnicode_FromString("Example"));
    if (!example_name || add_to_module(module, names.all, example_name.get(), example) < 0) return -1;

    for (PyMethodDef& def : module_functions()) {
        PyRef module_name(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        PyRef function(PyCMethod_New(&def, module, module_name.get(), nullptr));
        module_name.reset();
        if (!function) return -1;
        PyRef name(PyObject_GetAttr(function.get(), names.name));
        if (!name || add_to_module(module, names.all, name.get(), function.get()) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "valmora",  // m_name
    "",         // m_doc: empty, so __doc__ is "" rather than None
    0,          // m_size: no per-module state
    nullptr,    // m_methods: the execution step adds every function itself
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace valmora::py

PyMODINIT_FUNC PyInit_valmora() { return PyModuleDef_Init(&valmora::py::kModule); }
