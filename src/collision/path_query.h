// The path query: a moving tree translating by t * velocity for t in [t_begin, t_end]
// against a fixed obstacle tree. The calling thread walks the two trees best-first over
// node pairs (latest window end first); pairs of leaves go in batches to worker threads,
// which test their triangle pairs; the calling thread then consumes the batches in emission
// order under a budget of candidate triangle pairs. Nothing here depends on the number of
// threads or on batch sizes.
#pragma once
#include <atomic>
#include <cstdint>

#include "runtime/cancel_poller.h"
#include "runtime/growable.h"
#include "runtime/traversal_status.h"
#include "tree/tree_view.h"

namespace zet {

// A triangle pair found in contact: 48 bytes, the packed record the query returns.
struct ContactRecord {
  uint32_t moving_triangle;
  uint32_t obstacle_triangle;
  double enter, exit;  // contact window (tolerance-widened)
  double strict;       // 1.0 when the exact projections overlap, else 0.0
  double strict_enter, strict_exit;
};
static_assert(sizeof(ContactRecord) == 48);

// A triangle pair whose window was found with some axes untested: 24 bytes.
struct UncertainWindow {
  uint32_t moving_triangle;
  uint32_t obstacle_triangle;
  double enter, exit;
};
static_assert(sizeof(UncertainWindow) == 24);

// What the kernel said of a candidate pair that it did not find separated.
enum OutcomeKind : uint32_t {
  kOutcomeContact = 0,       // a contact record
  kOutcomeUntestedAxes = 1,  // a window found with some axes untested: an uncertain window
  kOutcomeUndecided = 2,     // nothing decided: only counted as uncertain
};

// A candidate pair of a leaf pair that the kernel did not find separated.
struct PairOutcome {
  uint64_t candidate_index;  // position in the job's candidate order; 64 bits never wrap
  uint32_t kind;             // an OutcomeKind
  ContactRecord record;      // kinds 1 and 2 use the first four fields only
};

// One pair of leaves, in emission order.
struct LeafPairJob {
  double lo, hi;  // the node pair's window
  int32_t moving_leaf, obstacle_leaf;
  uint64_t node_pairs_at_emit, max_heap_at_emit;
  uint64_t candidate_count, outcome_count;  // written by the worker
  PairOutcome* outcomes;                    // owned; malloc'd by the worker
};

inline constexpr int64_t kMaxLeafPairJobs = 65536;

struct PathQueryParams {
  TreeView moving, obstacle;
  double velocity[3];
  double t_begin, t_end;
  double box_tol, box_static;
  double abs_tol, rel_tol, sin_tol;
  int64_t pair_budget;
  uint32_t cancel_interval;
};

struct PathQueryResult {
  int status = kComplete;  // or kPairBudgetExhausted, kCancelled
  uint64_t pairs_used = 0, uncertain = 0, node_pairs = 0, leaf_pairs = 0, candidate_pairs = 0,
           chunks = 0, max_heap = 0;
  GrowableArray<ContactRecord> contacts;
  GrowableArray<UncertainWindow> uncertain_windows;
  bool out_of_memory = false;
};

// What the workers of one batch share; only `failed` is written, by any worker that cannot
// get memory.
struct PathQueryContext {
  const PathQueryParams* params;
  LeafPairJob* jobs;
  std::atomic<int> failed{0};
};

// Processes job `index` of the context: candidates, their order, the kernel results.
void process_leaf_pair(PathQueryContext& context, int64_t index);

// Runs the whole query. jobs has room for 2 x kMaxLeafPairJobs (the batch being processed
// and the next one). The poller's interval is the
// cancel interval and its first question comes once the work reaches that interval.
void run_path_query(const PathQueryParams& params, LeafPairJob* jobs, CancelPoller& poller,
                    PathQueryResult& result);

}  // namespace zet
