// Scalar argument checks shared by the module functions.
#pragma once
#include <Python.h>

namespace zet {

// should_cancel: None means no callable; anything else must be callable.
inline bool accept_should_cancel(PyObject* object, PyObject** callable) {
  if (object == Py_None) {
    *callable = nullptr;
    return true;
  }
  if (!PyCallable_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "should_cancel must be callable or None");
    return false;
  }
  *callable = object;
  return true;
}

// Raises ValueError with the message when the condition does not hold.
inline bool require(bool condition, const char* message) {
  if (!condition) PyErr_SetString(PyExc_ValueError, message);
  return condition;
}

}  // namespace zet
