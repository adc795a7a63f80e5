#include "runtime/cancel_poller.h"

#include <Python.h>

namespace zet {
namespace {

// Calls the callable with the lock held; returns 1 for true, 0 for false, -1 when the
// call or its truth test raised (the exception stays set for the caller).
int ask(PyObject* callable) {
  PyGILState_STATE gil = PyGILState_Ensure();
  int answer = -1;
  if (PyObject* result = PyObject_CallNoArgs(callable)) {
    answer = PyObject_IsTrue(result);
    Py_DECREF(result);
  }
  PyGILState_Release(gil);
  return answer;
}

}  // namespace

bool CancelPoller::consult_counted() {
  int answer = ask(callable);
  if (answer < 0) error = true;
  if (answer != 0) cancelled = true;
  return cancelled;
}

void CancelPoller::consult_work() {
  int answer = ask(callable);
  if (answer < 0) error = true;
  if (answer > 0) cancelled = true;
}

}  // namespace zet
