// The module definition, its method table and its initialisation.
#include <Python.h>

#include "module/functions.h"
#include "module/module_type.h"

namespace {

using namespace zet;

PyMethodDef methods[] = {
    {"set_thread_limit", py_set_thread_limit, METH_VARARGS,
     "Set the worker thread limit (0 = automatic); returns the previous setting."},
    {"thread_limit", py_thread_limit, METH_NOARGS,
     "Worker threads kernels currently use, the calling thread included."},
    {"enter_stage", py_enter_stage, METH_VARARGS,
     "Mark the calling thread as a concurrent search stage with a share of the thread limit "
     "(percent)."},
    {"leave_stage", py_leave_stage, METH_NOARGS,
     "Unmark the calling thread; its stage no longer shares the thread limit."},
    {"direction_ray_scores", py_direction_ray_scores, METH_VARARGS,
     "Vertex-ray obstacle counts and penetration scores of many directions."},
    {"clipped_overlap_areas", py_clipped_overlap_areas, METH_VARARGS,
     "Overlap areas of planar triangle pairs clipped in 2D."},
    {"build_aabb_tree", py_build_aabb_tree, METH_VARARGS,
     "Build a compact deterministic AABB tree."},
    {"ray_tree_hits", py_ray_tree_hits, METH_VARARGS,
     "Vertex rays against one triangle tree: (cancelled, rays, triangles, depths)."},
    {"ray_winding_batch", py_ray_winding_batch, METH_VARARGS,
     "Signed ray crossings and ambiguity of points against a closed solid."},
    {"triangle_distance_batch", py_triangle_distance_batch, METH_VARARGS,
     "Full-feature conservative distance for a batch of triangle pairs."},
    {"clearance_pairs", py_clearance_pairs, METH_VARARGS,
     "Continuous clearance search over candidate pairs of one obstacle."},
    {"clearance_candidate_pairs", py_clearance_candidate_pairs, METH_VARARGS,
     "Swept clearance candidate traversal for one moving/obstacle tree pair."},
    {"self_intersection_pairs", py_self_intersection_pairs, METH_VARARGS,
     "Self-join of one triangle tree: intersecting non-adjacent pairs, counts and witnesses."},
    {"bvh_path_query", py_bvh_path_query, METH_VARARGS,
     "Traverse one moving/obstacle tree pair with leaf CCD."},
    {"translation_triangle_ccd_batch", py_translation_triangle_ccd_batch, METH_VARARGS,
     "Evaluate a batch of translating triangle pairs."},
    {"pair_cones", py_pair_cones, METH_VARARGS,
     "Blocked cone groups of triangle pairs: generators, rank, facets and caps."},
    {"cone_groups", py_cone_groups, METH_VARARGS,
     "Rank, facets and caps of cone groups from their generators."},
    {"cone_wedges", py_cone_wedges, METH_VARARGS,
     "Two-generator wedge planes and usability of cone groups."},
    {"cone_margins", py_cone_margins, METH_VARARGS,
     "Margins of unit directions against selected blocked-direction groups."},
    {"cone_cap_lower_bounds", py_cone_cap_lower_bounds, METH_VARARGS,
     "Cap lower bounds of blocked-direction groups within an angular radius."},
    {"cells_bound_batch", py_cells_bound_batch, METH_VARARGS,
     "Branch-and-bound margins and relevant groups of many sibling cell batches."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_zet_native",
    "ZET native numeric accelerators.",
    -1,  // no per-module state: the thread settings are process-wide
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__zet_native(void) {
  read_thread_limit_from_environment();
  PyObject* module = PyModule_Create2(&module_def, 1013);
  if (module != nullptr && !attach_read_only_attributes(module)) Py_CLEAR(module);
  return module;
}
