// self_intersection_pairs(mesh, epsilon, abs_tol, rel_tol, sin_tol, pair_budget,
//                         witness_limit, cancel_interval, should_cancel)
#include <Python.h>

#include <cmath>

#include "checks/self_intersection.h"
#include "module/functions.h"
#include "runtime/call_args.h"
#include "runtime/gil.h"
#include "runtime/py_memory.h"
#include "tree/tree_arrays.h"

namespace zet {
namespace {

constexpr int kMaxWitnesses = 1048576;

}  // namespace

PyObject* py_self_intersection_pairs(PyObject*, PyObject* args) {
  PyObject *mesh_obj, *items[7], *should_cancel;
  SelfIntersectionParams p{};
  long long pair_budget;
  int witness_limit, interval;
  PyRef mesh_held;
  if (!PyArg_ParseTuple(args, "OddddLiiO:self_intersection_pairs", &mesh_obj, &p.epsilon,
                        &p.abs_tol, &p.rel_tol, &p.sin_tol, &pair_budget, &witness_limit, &interval,
                        &should_cancel) ||
      !tree_items(mesh_obj, mesh_held, items, "mesh"))
    return nullptr;
  const char* invalid = "invalid self-intersection budget, witness limit, interval or epsilon";
  CancelPoller poller;
  if (!require(
          pair_budget >= 0 && witness_limit >= 0 && witness_limit <= kMaxWitnesses && interval >= 1,
          invalid) ||
      !require(std::isfinite(p.epsilon) && p.epsilon >= 0, invalid) ||
      !accept_should_cancel(should_cancel, &poller.callable))
    return nullptr;
  TriangleTree mesh;
  if (!acquire_tree_arrays(items, mesh, "mesh") || !check_tree(mesh, "mesh")) return nullptr;
  PyMemArray<uint32_t> witnesses;
  if (witness_limit > 0 && !witnesses.allocate(2 * size_t(witness_limit))) return nullptr;
  p.mesh = mesh.view;
  p.pair_budget = pair_budget;
  p.witness_limit = witness_limit;
  p.cancel_interval = static_cast<uint32_t>(interval);

  SelfIntersectionResult r;
  {
    GilReleased unlocked;
    run_self_intersection(p, witnesses.get(), poller, r);
  }
  if (poller.error) return nullptr;
  if (r.out_of_memory) return PyErr_NoMemory();
  return Py_BuildValue("(iKKKy#)", r.status, r.evaluated, r.intersecting, r.undecided,
                       packed_bytes(witnesses.get()), static_cast<Py_ssize_t>(8 * r.witness_count));
}

}  // namespace zet
