// Candidate triangle pairs for a clearance check: a moving tree translating by t * velocity,
// t in [0, path_length], against a fixed obstacle tree, listing every pair of triangles whose
// boxes come within the clearance of each other somewhere along the path. Depth first over
// node pairs, left child first, so the output order is fixed by the trees.
#pragma once
#include <cstdint>

#include "runtime/cancel_poller.h"
#include "runtime/growable.h"
#include "runtime/traversal_status.h"
#include "tree/tree_view.h"

namespace zet {

struct TrianglePair {
  uint32_t moving_triangle, obstacle_triangle;
};

struct ClearanceCandidateParams {
  TreeView moving, obstacle;
  double velocity[3];
  double path_length, box_tol, box_static, clearance;
  uint32_t cancel_interval;
};

struct ClearanceCandidateResult {
  int status = kComplete;  // or kCancelled
  GrowableArray<TrianglePair> pairs;
  bool out_of_memory = false;
};

void run_clearance_candidates(const ClearanceCandidateParams& params, CancelPoller& poller,
                              ClearanceCandidateResult& result);

}  // namespace zet
