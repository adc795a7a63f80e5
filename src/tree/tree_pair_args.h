// The arguments shared by the functions that move one tree against another: the moving and
// obstacle 7-tuples, then a velocity of three float64, checked in that order.
#pragma once
#include <Python.h>

#include "runtime/array_arg.h"
#include "runtime/call_args.h"
#include "runtime/velocity_check.h"
#include "tree/tree_arrays.h"

namespace zet {

struct TreePairArgs {
  TriangleTree moving, obstacle;
  ArrayArg velocity;

  // Every array, then the values of the two trees (see report_in_order).
  bool acquire(PyObject* const moving_items[7], PyObject* const obstacle_items[7],
               PyObject* velocity_object) {
    int held = 0;  // trees acquired
    if (acquire_tree_arrays(moving_items, moving, "moving") && ++held == 1 &&
        acquire_tree_arrays(obstacle_items, obstacle, "obstacle") && ++held == 2 &&
        acquire_array(velocity_object, velocity, kFloat64, {3}, "velocity"))
      return check_tree(moving, "moving") && check_tree(obstacle, "obstacle") &&
             require_finite_velocity(velocity.data<double>());
    return report_in_order([&] {
      return (held < 1 || check_tree(moving, "moving")) &&
             (held < 2 || check_tree(obstacle, "obstacle"));
    });
  }

  void copy_velocity(double out[3]) const {
    for (int d = 0; d < 3; ++d) out[d] = velocity.data<double>()[d];
  }
};

}  // namespace zet
