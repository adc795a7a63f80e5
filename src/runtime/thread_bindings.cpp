// Module functions that read and set the worker thread settings.
#include <Python.h>

#include <cstdint>
#include <cstdlib>

#include "module/functions.h"
#include "runtime/thread_count.h"

namespace zet {
namespace {

// The limit is stored in 32 bits; larger requests mean "as many as allowed" and the
// effective count is capped at 32 anyway, so they are clamped rather than refused.
int32_t clamp_to_int32(long value) {
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

}  // namespace

PyObject* py_set_thread_limit(PyObject*, PyObject* args) {
  long limit = 0;
  if (!PyArg_ParseTuple(args, "l:set_thread_limit", &limit)) return nullptr;
  if (limit < 0) {
    PyErr_SetString(PyExc_ValueError, "thread limit must be 0 (automatic) or positive");
    return nullptr;
  }
  return PyLong_FromLong(exchange_thread_limit(clamp_to_int32(limit)));
}

PyObject* py_thread_limit(PyObject*, PyObject*) {
  return PyLong_FromLongLong(effective_thread_count());
}

PyObject* py_enter_stage(PyObject*, PyObject* args) {
  long share = 0;
  if (!PyArg_ParseTuple(args, "l:enter_stage", &share)) return nullptr;
  if (share < 1 || share > 100) {
    PyErr_SetString(PyExc_ValueError, "stage share must be within [1, 100] percent");
    return nullptr;
  }
  enter_stage_share(static_cast<int32_t>(share));
  Py_RETURN_NONE;
}

PyObject* py_leave_stage(PyObject*, PyObject*) {
  leave_stage_share();
  Py_RETURN_NONE;
}

// ZET_NATIVE_THREADS, read once when the module is loaded: a base-10 integer (leading
// white space and a sign allowed, digits up to the first other character); only a
// positive value sets the limit.
void read_thread_limit_from_environment() {
  const char* text = std::getenv("ZET_NATIVE_THREADS");
  if (text == nullptr) return;
  long value = std::strtol(text, nullptr, 10);
  if (value > 0) exchange_thread_limit(clamp_to_int32(value));
}

}  // namespace zet
