// The module's functions, described once each (functions.cpp).
#pragma once

#include <Python.h>

#include <span>

namespace valmora::py {

// One method definition per function, in registration order.
std::span<PyMethodDef> module_functions();

}  // namespace valmora::py
