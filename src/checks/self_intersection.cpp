#include "checks/self_intersection.h"

#include "collision/ccd_kernel.h"
#include "collision/triangle_box.h"
#include "runtime/growable.h"

namespace zet {
namespace {

// Boxes overlap with slack when, on every axis, max1 + epsilon >= min2 and
// max2 + epsilon >= min1; a NaN coordinate makes them not overlap.
bool overlap_with_slack(const double* min1, const double* max1, const double* min2,
                        const double* max2, double epsilon) {
  for (int d = 0; d < 3; ++d)
    if (!(max1[d] + epsilon >= min2[d] && max2[d] + epsilon >= min1[d])) return false;
  return true;
}

bool share_vertex(const uint32_t* s, const uint32_t* t) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (s[i] == t[j]) return true;
  return false;
}

struct NodePair {
  int32_t a, b;
};

class SelfJoin {
 public:
  SelfJoin(const SelfIntersectionParams& p, uint32_t* witnesses, CancelPoller& poller,
           SelfIntersectionResult& r)
      : p_(p), witnesses_(witnesses), poller_(poller), r_(r) {}

  void run() {
    const TreeView& t = p_.mesh;
    if (!push(0, 0)) return;
    while (!stack_.empty()) {
      if (poller_.poll_work(1)) return stop(kCancelled);
      const NodePair pair = stack_.back();
      stack_.pop_back();
      const int32_t a = pair.a, b = pair.b;
      if (a != b &&
          !overlap_with_slack(t.box_min(a), t.box_max(a), t.box_min(b), t.box_max(b), p_.epsilon))
        continue;
      const bool a_leaf = t.is_leaf(a), b_leaf = t.is_leaf(b);
      if (a_leaf && b_leaf) {
        if (!test_leaves(a, b)) return;
        continue;
      }
      bool pushed;
      if (a == b) {
        // (left, left) is examined next, then (right, right), then (left, right).
        pushed = push(t.left(a), t.right(a)) && push(t.right(a), t.right(a)) &&
                 push(t.left(a), t.left(a));
      } else if (b_leaf || (!a_leaf && t.count(a) >= t.count(b))) {
        pushed = push(t.right(a), b) && push(t.left(a), b);
      } else {
        pushed = push(a, t.right(b)) && push(a, t.left(b));
      }
      if (!pushed) return;
    }
  }

 private:
  bool push(int32_t a, int32_t b) {
    if (stack_.push_back({a, b})) return true;
    r_.out_of_memory = true;
    return false;
  }

  void stop(TraversalStatus status) { r_.status = status; }

  // Tests the triangle pairs of two leaves (each unordered pair once when a == b);
  // returns false when the run stops.
  bool test_leaves(int32_t a, int32_t b) {
    const TreeView& t = p_.mesh;
    TriangleCoords s_coords, t_coords;
    for (int32_t i = 0; i < t.count(a); ++i) {
      const uint32_t s = t.order[t.start(a) + int64_t{i}];
      if (t.excluded[s] != 0) continue;
      load_triangle(t, s, s_coords);
      for (int32_t j = a == b ? i + 1 : 0; j < t.count(b); ++j) {
        const uint32_t u = t.order[t.start(b) + int64_t{j}];
        if (t.excluded[u] != 0) continue;
        load_triangle(t, u, t_coords);
        if (!overlap_with_slack(s_coords.lo, s_coords.hi, t_coords.lo, t_coords.hi, p_.epsilon) ||
            share_vertex(t.triangle(s), t.triangle(u)))
          continue;
        if (static_cast<int64_t>(r_.evaluated) >= p_.pair_budget) {
          stop(kPairBudgetExhausted);
          return false;
        }
        ++r_.evaluated;
        const bool s_low = s < u;
        const uint32_t low = s_low ? s : u, high = s_low ? u : s;
        static constexpr double kAtRest[3] = {0.0, 0.0, 0.0};
        const TriangleCcdResult result = translating_triangle_ccd(
            s_low ? s_coords.xyz : t_coords.xyz, s_low ? t_coords.xyz : s_coords.xyz, kAtRest, 0.0,
            0.0, p_.abs_tol, p_.rel_tol, p_.sin_tol);
        if (result.status == kCcdContact) ++r_.intersecting;
        if (result.status == kCcdUncertain) ++r_.undecided;
        if (result.status != kCcdSeparated && p_.witness_limit > 0) offer_witness(low, high);
        if (poller_.poll_work(1)) {
          stop(kCancelled);
          return false;
        }
      }
    }
    return true;
  }

  // Keeps the witness_limit smallest pairs in ascending (low, high) order.
  void offer_witness(uint32_t low, uint32_t high) {
    auto less = [](uint32_t l1, uint32_t h1, const uint32_t* w) {
      return l1 < w[0] || (l1 == w[0] && h1 < w[1]);
    };
    uint64_t n = r_.witness_count;
    const uint64_t limit = static_cast<uint64_t>(p_.witness_limit);
    if (n == limit) {
      if (!less(low, high, witnesses_ + 2 * (n - 1))) return;
      --n;  // the new pair takes the last entry's place
    }
    uint64_t k = n;
    for (; k > 0 && less(low, high, witnesses_ + 2 * (k - 1)); --k) {
      witnesses_[2 * k] = witnesses_[2 * (k - 1)];
      witnesses_[2 * k + 1] = witnesses_[2 * (k - 1) + 1];
    }
    witnesses_[2 * k] = low;
    witnesses_[2 * k + 1] = high;
    r_.witness_count = n + 1;
  }

  const SelfIntersectionParams& p_;
  uint32_t* witnesses_;
  CancelPoller& poller_;
  SelfIntersectionResult& r_;
  GrowableArray<NodePair> stack_;
};

}  // namespace

void run_self_intersection(const SelfIntersectionParams& params, uint32_t* witnesses,
                           CancelPoller& poller, SelfIntersectionResult& result) {
  poller.interval = params.cancel_interval;
  poller.next_check = params.cancel_interval;
  SelfJoin(params, witnesses, poller, result).run();
}

}  // namespace zet
