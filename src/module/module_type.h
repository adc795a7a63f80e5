// The module object's own type: a module whose constants cannot be rebound by callers.
#pragma once
#include <Python.h>

namespace zet {

// Makes `module` an instance of the module type that carries the read-only attributes
// (`vector_build`) and records their values in its dictionary, so that they show in dir().
// Returns false with an exception set.
bool attach_read_only_attributes(PyObject* module);

}  // namespace zet
