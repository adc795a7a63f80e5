// clearance_candidate_pairs(moving, obstacle, velocity, path_length, box_tol, box_static,
//                           clearance, cancel_interval, should_cancel)
#include <Python.h>

#include <cmath>

#include "distance/clearance_candidates.h"
#include "module/functions.h"
#include "runtime/call_args.h"
#include "runtime/gil.h"
#include "runtime/py_memory.h"
#include "tree/tree_pair_args.h"

namespace zet {

PyObject* py_clearance_candidate_pairs(PyObject*, PyObject* args) {
  PyObject *moving_obj, *obstacle_obj, *moving_items[7], *obstacle_items[7], *velocity_obj,
      *should_cancel;
  ClearanceCandidateParams p{};
  int interval;
  PyRef moving_held, obstacle_held;
  if (!PyArg_ParseTuple(args, "OOOddddiO:clearance_candidate_pairs", &moving_obj, &obstacle_obj,
                        &velocity_obj, &p.path_length, &p.box_tol, &p.box_static, &p.clearance,
                        &interval, &should_cancel) ||
      !tree_items(moving_obj, moving_held, moving_items, "moving") ||
      !tree_items(obstacle_obj, obstacle_held, obstacle_items, "obstacle"))
    return nullptr;
  CancelPoller poller;
  if (!require(interval >= 1 && std::isfinite(p.path_length) && p.path_length >= 0,
               "invalid path length or cancel interval") ||
      !accept_should_cancel(should_cancel, &poller.callable))
    return nullptr;
  TreePairArgs trees;
  if (!trees.acquire(moving_items, obstacle_items, velocity_obj)) return nullptr;
  p.moving = trees.moving.view;
  p.obstacle = trees.obstacle.view;
  trees.copy_velocity(p.velocity);
  p.cancel_interval = static_cast<uint32_t>(interval);

  ClearanceCandidateResult r;
  {
    GilReleased unlocked;
    run_clearance_candidates(p, poller, r);
  }
  if (poller.error) return nullptr;
  if (r.out_of_memory) return PyErr_NoMemory();
  return Py_BuildValue("(iy#)", r.status, packed_bytes(r.pairs.data()), byte_size(r.pairs));
}

}  // namespace zet
