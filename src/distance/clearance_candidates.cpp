#include "distance/clearance_candidates.h"

#include "collision/swept_box.h"
#include "collision/triangle_box.h"

namespace zet {
namespace {

struct Entry {
  int32_t moving_node, obstacle_node;
  double t0, t1;
};

// Lists the triangle pairs of two leaves whose boxes come close within [t0, t1]; false when
// the output could not grow.
bool list_leaf_pairs(const ClearanceCandidateParams& p, const SweptBoxParams& box, int32_t a,
                     int32_t b, double t0, double t1, GrowableArray<TrianglePair>& out) {
  TriangleCoords m, o;
  for (int32_t i = 0; i < p.moving.count(a); ++i) {
    const uint32_t mt = p.moving.order[p.moving.start(a) + int64_t{i}];
    if (p.moving.excluded[mt] != 0) continue;
    load_triangle(p.moving, mt, m);
    for (int32_t j = 0; j < p.obstacle.count(b); ++j) {
      const uint32_t ot = p.obstacle.order[p.obstacle.start(b) + int64_t{j}];
      if (p.obstacle.excluded[ot] != 0) continue;
      load_triangle(p.obstacle, ot, o);
      double lo, hi;
      if (swept_box(m.lo, m.hi, o.lo, o.hi, box, t0, t1, &lo, &hi) && !out.push_back({mt, ot}))
        return false;
    }
  }
  return true;
}

}  // namespace

void run_clearance_candidates(const ClearanceCandidateParams& p, CancelPoller& poller,
                              ClearanceCandidateResult& r) {
  poller.interval = p.cancel_interval;
  poller.next_check = p.cancel_interval;
  const TreeView& a = p.moving;
  const TreeView& b = p.obstacle;
  const SweptBoxParams box{p.velocity, p.box_tol, p.box_static, p.clearance};
  GrowableArray<Entry> stack;
  if (!stack.push_back({0, 0, 0.0, p.path_length})) {
    r.out_of_memory = true;
    return;
  }
  while (!stack.empty()) {
    const Entry e = stack.back();
    stack.pop_back();
    if (poller.poll_work(1)) {
      r.status = kCancelled;
      return;
    }
    double enter, exit;
    if (!swept_box(a.box_min(e.moving_node), a.box_max(e.moving_node), b.box_min(e.obstacle_node),
                   b.box_max(e.obstacle_node), box, e.t0, e.t1, &enter, &exit))
      continue;
    const bool a_leaf = a.is_leaf(e.moving_node), b_leaf = b.is_leaf(e.obstacle_node);
    if (!a_leaf || !b_leaf) {
      const bool split_obstacle =
          !b_leaf && (a_leaf || a.count(e.moving_node) < b.count(e.obstacle_node));
      Entry right{e.moving_node, e.obstacle_node, enter, exit}, left = right;
      if (split_obstacle) {
        right.obstacle_node = b.right(e.obstacle_node);
        left.obstacle_node = b.left(e.obstacle_node);
      } else {
        right.moving_node = a.right(e.moving_node);
        left.moving_node = a.left(e.moving_node);
      }
      // The right child goes first so that the left one is popped first.
      if (!stack.push_back(right) || !stack.push_back(left)) {
        r.out_of_memory = true;
        return;
      }
      continue;
    }
    const bool listed =
        list_leaf_pairs(p, box, e.moving_node, e.obstacle_node, enter, exit, r.pairs);
    // Work counts the leaves' triangle pairs, tested or not; the next pop's poll sees it.
    poller.work_done += static_cast<uint64_t>(a.count(e.moving_node)) *
                        static_cast<uint64_t>(b.count(e.obstacle_node));
    if (!listed) {
      r.out_of_memory = true;
      return;
    }
  }
}

}  // namespace zet
