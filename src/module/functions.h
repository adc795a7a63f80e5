// The module functions, one binding each; the method table in module.cpp lists them.
#pragma once
#include <Python.h>

namespace zet {

PyObject* py_set_thread_limit(PyObject* self, PyObject* args);
PyObject* py_thread_limit(PyObject* self, PyObject* unused);
PyObject* py_enter_stage(PyObject* self, PyObject* args);
PyObject* py_leave_stage(PyObject* self, PyObject* unused);
PyObject* py_build_aabb_tree(PyObject* self, PyObject* args);
PyObject* py_clipped_overlap_areas(PyObject* self, PyObject* args);
PyObject* py_bvh_path_query(PyObject* self, PyObject* args);
PyObject* py_self_intersection_pairs(PyObject* self, PyObject* args);
PyObject* py_ray_tree_hits(PyObject* self, PyObject* args);
PyObject* py_ray_winding_batch(PyObject* self, PyObject* args);
PyObject* py_direction_ray_scores(PyObject* self, PyObject* args);
PyObject* py_triangle_distance_batch(PyObject* self, PyObject* args);
PyObject* py_clearance_candidate_pairs(PyObject* self, PyObject* args);
PyObject* py_clearance_pairs(PyObject* self, PyObject* args);
PyObject* py_translation_triangle_ccd_batch(PyObject* self, PyObject* args);
PyObject* py_pair_cones(PyObject* self, PyObject* args);
PyObject* py_cone_groups(PyObject* self, PyObject* args);
PyObject* py_cone_wedges(PyObject* self, PyObject* args);
PyObject* py_cone_margins(PyObject* self, PyObject* args);
PyObject* py_cone_cap_lower_bounds(PyObject* self, PyObject* args);
PyObject* py_cells_bound_batch(PyObject* self, PyObject* args);

void read_thread_limit_from_environment();

}  // namespace zet
