// The eleven cone-group arrays that the margin functions take as arguments (kinds,
// generators, generator_mask, facets, facet_mask, blocks_all, shifts, the three wedge arrays
// and wedge_mask): acquired in argument order with their messages, checked for consistent
// shapes, and turned into the margin kernel's context.
#pragma once
#include <Python.h>

#include "cones/cone_margin.h"
#include "runtime/array_arg.h"

namespace zet {

struct ConeGroupArgs {
  ArrayArg kinds, generators, generator_mask, facets, facet_mask, blocks_all, shifts, planes, first,
      second, wedge_mask;

  // objects holds the eleven arguments in the order above.
  bool acquire(PyObject* const objects[11]);
  Py_ssize_t groups() const { return kinds.extent(0); }
  // G rows everywhere and K, F and W agreeing between the arrays and their masks.
  // more_rows_agree folds in the caller's own arrays of G rows into the same check.
  bool shapes_agree(bool more_rows_agree) const;
  // The margin context over these arrays; directions, selection and output stay empty.
  MarginContext margin_context(double common_shift) const;
};

}  // namespace zet
