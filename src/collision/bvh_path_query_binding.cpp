// bvh_path_query(moving, obstacle, velocity, t_begin, t_end, box_tol, box_static, abs_tol,
//                rel_tol, sin_tol, pair_budget, cancel_interval, should_cancel)
#include <Python.h>

#include <cmath>

#include "collision/path_query.h"
#include "module/functions.h"
#include "runtime/array_arg.h"
#include "runtime/call_args.h"
#include "runtime/gil.h"
#include "runtime/py_memory.h"
#include "tree/tree_pair_args.h"

namespace zet {

PyObject* py_bvh_path_query(PyObject*, PyObject* args) {
  PyObject *moving_obj, *obstacle_obj, *moving_items[7], *obstacle_items[7], *velocity_obj,
      *should_cancel;
  PathQueryParams p{};
  long long pair_budget;
  int interval;
  PyRef moving_held, obstacle_held;
  if (!PyArg_ParseTuple(args, "OOOdddddddLiO:bvh_path_query", &moving_obj, &obstacle_obj,
                        &velocity_obj, &p.t_begin, &p.t_end, &p.box_tol, &p.box_static, &p.abs_tol,
                        &p.rel_tol, &p.sin_tol, &pair_budget, &interval, &should_cancel) ||
      !tree_items(moving_obj, moving_held, moving_items, "moving") ||
      !tree_items(obstacle_obj, obstacle_held, obstacle_items, "obstacle"))
    return nullptr;
  CancelPoller poller;
  if (!require(pair_budget >= 0 && interval >= 1,
               "pair budget must be non-negative and cancel interval positive") ||
      !accept_should_cancel(should_cancel, &poller.callable) ||
      !require(p.t_end >= p.t_begin && std::isfinite(p.t_begin) && std::isfinite(p.t_end),
               "root interval must be finite and ordered"))
    return nullptr;
  TreePairArgs trees;
  if (!trees.acquire(moving_items, obstacle_items, velocity_obj)) return nullptr;
  PyMemArray<LeafPairJob> jobs;
  if (!jobs.allocate(2 * kMaxLeafPairJobs)) return nullptr;
  p.moving = trees.moving.view;
  p.obstacle = trees.obstacle.view;
  trees.copy_velocity(p.velocity);
  p.pair_budget = pair_budget;
  p.cancel_interval = static_cast<uint32_t>(interval);

  PathQueryResult r;
  {
    GilReleased unlocked;
    run_path_query(p, jobs.get(), poller, r);
  }
  if (poller.error) return nullptr;
  if (r.out_of_memory) return PyErr_NoMemory();
  return Py_BuildValue("(iKKy#y#KKKKK)", r.status, r.pairs_used, r.uncertain,
                       packed_bytes(r.contacts.data()), byte_size(r.contacts),
                       packed_bytes(r.uncertain_windows.data()), byte_size(r.uncertain_windows),
                       r.node_pairs, r.leaf_pairs, r.candidate_pairs, r.chunks, r.max_heap);
}

}  // namespace zet
