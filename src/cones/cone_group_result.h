// The result of pair_cones and cone_groups: both run the count pass, compact the groups, run
// the fill pass and return the groups' arrays as one tuple of byte strings.
#pragma once
#include <Python.h>

#include "cones/cone_group_kernel.h"

namespace zet {

// Count pass, compaction, fill pass; returns the 9-tuple of the groups in input order (new
// reference), or null with an exception set.
PyObject* run_cone_group_job(ConeGroupJob& job, Py_ssize_t n);

}  // namespace zet
