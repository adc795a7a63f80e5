// The leaves of a collapsed winding tree laid out for the vector walk: a leaf's usable
// triangles, in the order of its leaf_table row, four to a group, each field of the prepared
// crossing (see PreparedCrossing) stored as four lanes side by side. The walk then tests the
// four triangles of a group against one point in one vector, with classify_prepared's
// arithmetic lane by lane, and takes the lanes in order as the leaf_table walk takes its
// slots: entries that are empty or not usable contribute nothing there, so packing them out
// changes no count.
#pragma once
#include <cstdint>

#include "rays/ray_winding.h"
#include "rays/wide_tree.h"
#include "runtime/raw_array.h"

namespace zet {

struct WindingLeafGroup {
  double v0[3][kBlockLanes];
  double e1[3][kBlockLanes];
  double e2[3][kBlockLanes];
  double q[3][kBlockLanes];
  double inv_det[kBlockLanes];  // 0 in lanes without a prepared crossing
  // One bit per lane: a usable triangle; of those, one the ray is parallel to (ambiguous
  // whenever its leaf is reached); one met against its normal (det > 0).
  uint32_t used, parallel, against;
  uint32_t last;  // nonzero for the last group of its leaf
};

// The groups of every leaf slot of wide (the collapse of tree), the triangles prepared for
// direction, in the order the wide nodes list their leaf slots; each leaf slot's count is set
// to the index of its first group. A leaf with no usable triangle gets one group with no lanes.
// False when memory could not be had or the groups would not fit an int32 index. Large trees
// are prepared by up to `threads` threads; the groups are the same for any number.
bool prepare_winding_leaf_groups(const WindingTree& tree, const double direction[3], WideTree& wide,
                                 RawArray<WindingLeafGroup>& groups, int64_t threads);

}  // namespace zet
