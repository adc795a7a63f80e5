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

// Arrays are checked in two phases that report in the order of one. Acquiring a buffer can
// run the caller's code (an exporter written in Python), which could change an array whose
// values were already checked; so a function acquires every array of the call (element
// kinds and shapes) before it checks any value (lengths, indices, node records). The error
// reported stays the first in argument order: after a failed acquisition, the value checks
// of the arguments acquired before it run, and the first of them that fails is reported
// instead. Call this with the acquisition's error set; returns false.
template <class Checks>
bool report_in_order(Checks&& earlier_checks) {
  PyObject* acquisition_error = PyErr_GetRaisedException();
  if (earlier_checks())
    PyErr_SetRaisedException(acquisition_error);
  else
    Py_XDECREF(acquisition_error);
  return false;
}

// Raises ValueError with the message when the condition does not hold.
inline bool require(bool condition, const char* message) {
  if (!condition) PyErr_SetString(PyExc_ValueError, message);
  return condition;
}

}  // namespace zet
