// clearance_pairs(moving_vertices, moving_triangles, obstacle_vertices, obstacle_triangles,
//                 pairs, lowers, velocity, path_length, clearance, absolute_tolerance,
//                 relative_tolerance, min_width, max_depth, evaluations, evaluation_limit,
//                 cancel_interval, should_cancel)
#include <Python.h>

#include <cmath>

#include "distance/clearance_search.h"
#include "module/functions.h"
#include "runtime/call_args.h"
#include "runtime/gil.h"
#include "runtime/py_memory.h"
#include "runtime/velocity_check.h"
#include "tree/tree_arrays.h"

namespace zet {
namespace {

// Every pair names triangles inside both meshes and starts at a finite parameter that is
// not past the end of the path.
bool check_pairs(const ClearanceSearchParams& p, int64_t m_moving, int64_t m_obstacle) {
  for (int64_t k = 0; k < p.pair_count; ++k) {
    if (p.pairs[2 * k] >= m_moving || p.pairs[2 * k + 1] >= m_obstacle) {
      PyErr_SetString(PyExc_IndexError, "clearance pair index is outside the triangle array");
      return false;
    }
    if (!(std::isfinite(p.lowers[k]) && p.lowers[k] <= p.path_length)) {
      PyErr_SetString(PyExc_ValueError, "clearance interval lower bound exceeds the path length");
      return false;
    }
  }
  return true;
}

}  // namespace

PyObject* py_clearance_pairs(PyObject*, PyObject* args) {
  PyObject *mv, *mt, *ov, *ot, *pairs_obj, *lowers_obj, *velocity_obj, *should_cancel;
  ClearanceSearchParams p{};
  int max_depth, interval;
  long long evaluations, evaluation_limit;
  if (!PyArg_ParseTuple(args, "OOOOOOOdddddiLLiO:clearance_pairs", &mv, &mt, &ov, &ot, &pairs_obj,
                        &lowers_obj, &velocity_obj, &p.path_length, &p.clearance,
                        &p.absolute_tolerance, &p.relative_tolerance, &p.min_width, &max_depth,
                        &evaluations, &evaluation_limit, &interval, &should_cancel))
    return nullptr;
  CancelPoller poller;
  if (!require(evaluations >= 0 && evaluation_limit >= 0 && interval >= 1 && max_depth >= 1,
               "invalid clearance counters, depth or cancel interval") ||
      !accept_should_cancel(should_cancel, &poller.callable))
    return nullptr;
  MeshArrays moving, obstacle;
  ArrayArg pairs, lowers, velocity;
  int held = 0;  // meshes acquired; every array comes before any value (see report_in_order)
  if (!(acquire_mesh_arrays(mv, mt, moving, "moving") && ++held == 1 &&
        acquire_mesh_arrays(ov, ot, obstacle, "obstacle") && ++held == 2 &&
        acquire_array(pairs_obj, pairs, kUint32, {-1, 2}, "pairs") &&
        acquire_array(lowers_obj, lowers, kFloat64, {-1}, "lowers") &&
        acquire_array(velocity_obj, velocity, kFloat64, {3}, "velocity"))) {
    report_in_order([&] {
      return (held < 1 || check_mesh(moving, "moving")) &&
             (held < 2 || check_mesh(obstacle, "obstacle"));
    });
    return nullptr;
  }
  if (!check_mesh(moving, "moving") || !check_mesh(obstacle, "obstacle") ||
      !require_finite_velocity(velocity.data<double>()))
    return nullptr;
  p.pair_count = pairs.extent(0);
  if (!require(lowers.extent(0) == p.pair_count, "lowers must have one value per pair"))
    return nullptr;
  p.moving_vertices = moving.vertices.data<double>();
  p.moving_triangles = moving.triangles.data<uint32_t>();
  p.obstacle_vertices = obstacle.vertices.data<double>();
  p.obstacle_triangles = obstacle.triangles.data<uint32_t>();
  p.pairs = pairs.data<uint32_t>();
  p.lowers = lowers.data<double>();
  if (!check_pairs(p, moving.triangles.extent(0), obstacle.triangles.extent(0))) return nullptr;
  for (int d = 0; d < 3; ++d) p.velocity[d] = velocity.data<double>()[d];
  p.max_depth = max_depth;
  p.evaluation_limit = evaluation_limit;
  p.cancel_interval = static_cast<uint32_t>(interval);

  ClearanceSearchResult r;
  r.evaluations = static_cast<uint64_t>(evaluations);
  {
    GilReleased unlocked;
    run_clearance_search(p, poller, r);
  }
  if (poller.error) return nullptr;
  if (r.out_of_memory) return PyErr_NoMemory();
  return Py_BuildValue("(iKKKy#)", r.status, r.pairs_searched, r.evaluations, r.unresolved,
                       packed_bytes(r.witnesses.data()), byte_size(r.witnesses));
}

}  // namespace zet
