// The arguments shared by the functions that move one tree against another: the moving and
// obstacle 7-tuples, then a velocity of three float64, checked in that order.
#pragma once
#include <Python.h>

#include "runtime/array_arg.h"
#include "tree/tree_arrays.h"

namespace zet {

struct TreePairArgs {
  TriangleTree moving, obstacle;
  ArrayArg velocity;

  bool acquire(PyObject* const moving_items[7], PyObject* const obstacle_items[7],
               PyObject* velocity_object) {
    return acquire_tree(moving_items, moving, "moving") &&
           acquire_tree(obstacle_items, obstacle, "obstacle") &&
           acquire_array(velocity_object, velocity, kFloat64, {3}, "velocity");
  }

  void copy_velocity(double out[3]) const {
    for (int d = 0; d < 3; ++d) out[d] = velocity.data<double>()[d];
  }
};

}  // namespace zet
