#pragma once

#include <Python.h>

namespace valmora::py {

// The process-wide class object `Example` (borrowed), or null with an exception set.
PyObject* example_type();

}  // namespace valmora::py
