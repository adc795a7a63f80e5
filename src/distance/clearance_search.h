// Clearance search over candidate triangle pairs: for each pair, does the moving triangle,
// translated by t * velocity for t in [lower, path_length], stay at least `clearance` away
// from the obstacle triangle? Each pair's interval is bisected (later half first) with the
// conservative triangle distance at the midpoints, until a midpoint proves the interval
// clear, proves a violation, or the width and depth limits leave it unresolved.
#pragma once
#include <cstdint>

#include "runtime/cancel_poller.h"
#include "runtime/growable.h"
#include "runtime/traversal_status.h"

namespace zet {

// One pair whose search found a violation: 96 bytes, the packed record the call returns.
struct ClearanceWitness {
  uint32_t pair_index;
  uint32_t clear_after;  // 1 when all of the interval after the witness interval is clear
  double t_lo, t_hi, mid;
  double lower, upper;
  double point_a[3], point_b[3];
};
static_assert(sizeof(ClearanceWitness) == 96);

struct ClearanceSearchParams {
  const double* moving_vertices;
  const uint32_t* moving_triangles;
  const double* obstacle_vertices;
  const uint32_t* obstacle_triangles;
  const uint32_t* pairs;  // p x 2
  const double* lowers;   // p
  int64_t pair_count;
  double velocity[3];
  double path_length, clearance, absolute_tolerance, relative_tolerance, min_width;
  int64_t max_depth;
  int64_t evaluation_limit;
  uint32_t cancel_interval;
};

struct ClearanceSearchResult {
  int status = kComplete;  // or kEvaluationLimitReached, kSearchCancelled
  uint64_t pairs_searched = 0;
  uint64_t evaluations = 0;  // carried in and out
  uint64_t unresolved = 0;
  GrowableArray<ClearanceWitness> witnesses;
  bool out_of_memory = false;
};

// result.evaluations holds the evaluations already spent when called.
void run_clearance_search(const ClearanceSearchParams& params, CancelPoller& poller,
                          ClearanceSearchResult& result);

}  // namespace zet
