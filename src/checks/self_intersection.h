// Self-join of one mesh's tree: triangle pairs that intersect although they share no vertex
// index, found depth first with the translating triangle kernel at rest.
#pragma once
#include <cstdint>

#include "runtime/cancel_poller.h"
#include "runtime/traversal_status.h"
#include "tree/tree_view.h"

namespace zet {

struct SelfIntersectionParams {
  TreeView mesh;
  double epsilon;  // slack of every box overlap test
  double abs_tol, rel_tol, sin_tol;
  int64_t pair_budget;    // kernel evaluations allowed
  int64_t witness_limit;  // witness pairs kept (0 to 1048576)
  uint32_t cancel_interval;
};

struct SelfIntersectionResult {
  int status = kComplete;  // or kPairBudgetExhausted, kCancelled
  uint64_t evaluated = 0, intersecting = 0, undecided = 0;
  uint64_t witness_count = 0;
  bool out_of_memory = false;
};

// witnesses has room for witness_limit (low, high) pairs, kept in ascending order.
void run_self_intersection(const SelfIntersectionParams& params, uint32_t* witnesses,
                           CancelPoller& poller, SelfIntersectionResult& result);

}  // namespace zet
