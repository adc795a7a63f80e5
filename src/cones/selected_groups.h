// The check shared by the functions that take a selection of cone groups.
#pragma once
#include <Python.h>

#include <cstdint>

#include "runtime/array_arg.h"

namespace zet {

// Every selected index names a group: 0 <= index < groups; IndexError otherwise.
inline bool selection_in_range(const ArrayArg& selected, Py_ssize_t groups) {
  const int64_t* index = selected.data<int64_t>();
  for (Py_ssize_t j = 0; j < selected.extent(0); ++j) {
    if (index[j] < 0 || index[j] >= groups) {
      PyErr_SetString(PyExc_IndexError, "selected group index is out of range");
      return false;
    }
  }
  return true;
}

}  // namespace zet
