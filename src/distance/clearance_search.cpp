#include "distance/clearance_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "distance/distance_kernel.h"
#include "runtime/float_order.h"
#include "runtime/parallel_for.h"
#include "runtime/thread_count.h"

namespace zet {
namespace {

// The outcome of one interval or pair; the last two end the call with the same status.
enum IntervalOutcome {
  kClear = 0,
  kViolation = 1,
  kUnresolved = 2,
  kExhausted = kEvaluationLimitReached,
  kStopped = kSearchCancelled,
};

struct Outcome {
  int status = kUnresolved;
  double t_lo = 0, t_hi = 0, mid = 0;
  TriangleDistance distance{};
  int clear_after = 0;
};

// Levels of the bisection waiting for a half's outcome. Consecutive levels in the same state
// (the same interval, when halving no longer shrinks it) share one run, so the memory stays
// bounded for any depth limit while the levels are still visited one by one.
// A level searches the later half of its interval first, then the earlier half.
enum Phase : int { kLaterHalf = 0, kEarlierHalf = 1 };

struct LevelRun {
  double t_lo, t_hi, mid;
  uint64_t first_depth, count;
  int phase;      // a Phase
  int r1_status;  // kEarlierHalf: the later half's outcome (kClear while in kLaterHalf)
};

bool same_state(const LevelRun& run, double t_lo, double t_hi, double mid, int phase, int r1) {
  // Bitwise, so that runs of NaN intervals merge as well.
  return std::memcmp(&run.t_lo, &t_lo, 8) == 0 && std::memcmp(&run.t_hi, &t_hi, 8) == 0 &&
         std::memcmp(&run.mid, &mid, 8) == 0 && run.phase == phase && run.r1_status == r1;
}

// The velocity's length, summed in a fixed order so that every build rounds it alike.
double velocity_length(const double v[3]) {
  return std::sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]);
}

class ClearanceSearch {
 public:
  ClearanceSearch(const ClearanceSearchParams& p, CancelPoller& poller, ClearanceSearchResult& r,
                  uint64_t limit)
      : p_(p), poller_(poller), r_(r), limit_(limit), speed_(velocity_length(p.velocity)) {}

  // Every pair in order on the calling thread.
  void run() {
    for (int64_t k = 0; k < p_.pair_count; ++k) {
      if (poller_.poll_work(1)) {
        r_.status = kStopped;
        return;
      }
      ++r_.pairs_searched;
      const Outcome o = search_pair(k);
      if (r_.out_of_memory || !take(k, o)) return;
    }
  }

  // The search of pair k over its interval.
  Outcome search_pair(int64_t k) {
    load(p_.moving_vertices, p_.moving_triangles, p_.pairs[2 * k], moving_);
    load(p_.obstacle_vertices, p_.obstacle_triangles, p_.pairs[2 * k + 1], obstacle_);
    return search(p_.lowers[k], p_.path_length);
  }

  // Records pair k's outcome; false when it ends the call.
  bool take(int64_t k, const Outcome& o) {
    if (o.status == kViolation) {
      const TriangleDistance& d = o.distance;
      ClearanceWitness w{static_cast<uint32_t>(k),
                         static_cast<uint32_t>(o.clear_after),
                         o.t_lo,
                         o.t_hi,
                         o.mid,
                         d.lower,
                         d.upper,
                         {d.point_a[0], d.point_a[1], d.point_a[2]},
                         {d.point_b[0], d.point_b[1], d.point_b[2]}};
      if (!r_.witnesses.push_back(w)) {
        r_.out_of_memory = true;
        return false;
      }
    } else if (o.status == kUnresolved) {
      ++r_.unresolved;
    } else if (o.status != kClear) {
      r_.status = o.status;
      return false;
    }
    return true;
  }

 private:
  static void load(const double* vertices, const uint32_t* triangles, uint32_t t, double out[9]) {
    for (int k = 0; k < 3; ++k)
      for (int d = 0; d < 3; ++d)
        out[3 * k + d] = vertices[3 * int64_t{triangles[3 * int64_t{t} + k]} + d];
  }

  // One node of the bisection. Returns true with its final outcome, or false with the
  // midpoint at which it is to be split.
  bool evaluate(double t_lo, double t_hi, uint64_t depth, double* split_at, Outcome* out) {
    if (poller_.poll_work(1)) {
      *out = Outcome{kStopped};
      return true;
    }
    if (r_.evaluations >= limit_) {
      *out = Outcome{kExhausted};
      return true;
    }
    ++r_.evaluations;
    const double mid = (t_lo + t_hi) * 0.5;
    double moved[9];
    for (int k = 0; k < 9; ++k) moved[k] = moving_[k] + mid * p_.velocity[k % 3];
    const TriangleDistance d = conservative_triangle_distance(
        moved, obstacle_, p_.absolute_tolerance, p_.relative_tolerance);
    // The half width of the interval, times the speed, bounds how far the moving triangle
    // gets from its midpoint position within the interval. Up to unit speed the half width
    // alone already bounds it, and the test keeps its exact bits there.
    double half_travel = (t_hi - t_lo) * 0.5;
    if (speed_ > 1.0) half_travel *= speed_;
    const double bound = max_as_written(0.0, d.lower - half_travel);
    if (bound >= p_.clearance) {
      *out = Outcome{kClear};
      out->clear_after = 1;
      return true;
    }
    if (p_.min_width >= t_hi - t_lo || depth >= static_cast<uint64_t>(p_.max_depth)) {
      *out = Outcome{kUnresolved};
      if (p_.clearance > d.upper) *out = Outcome{kViolation, t_lo, t_hi, mid, d, 1};
      return true;
    }
    *split_at = mid;
    return false;
  }

  bool push_level(double t_lo, double t_hi, double mid, uint64_t depth, int phase, int r1) {
    if (!levels_.empty()) {
      LevelRun& top = levels_.back();
      if (top.first_depth + top.count == depth && same_state(top, t_lo, t_hi, mid, phase, r1)) {
        ++top.count;
        return true;
      }
    }
    if (levels_.push_back({t_lo, t_hi, mid, depth, 1, phase, r1})) return true;
    r_.out_of_memory = true;
    return false;
  }

  void pop_level() {
    if (--levels_.back().count == 0) levels_.pop_back();
  }

  // The search of [lo, hi], later half first, returning at the first violation; written as
  // a loop over an explicit stack of levels so that no depth limit can exhaust the stack.
  Outcome search(double lo, double hi) {
    levels_.clear();
    double t_lo = lo, t_hi = hi;
    uint64_t depth = 0;
    Outcome out;
    for (;;) {
      double mid;
      if (!evaluate(t_lo, t_hi, depth, &mid, &out)) {
        if (!push_level(t_lo, t_hi, mid, depth, kLaterHalf, kClear)) return out;
        t_lo = mid;
        ++depth;
        continue;
      }
      // Hand the outcome up until a level starts its earlier half.
      bool descend = false;
      while (!levels_.empty() && !descend) {
        const LevelRun top = levels_.back();
        const uint64_t top_depth = top.first_depth + top.count - 1;
        pop_level();
        if (top.phase == kLaterHalf) {
          if (out.status == kViolation || out.status >= kExhausted) continue;
          if (!push_level(top.t_lo, top.t_hi, top.mid, top_depth, kEarlierHalf, out.status))
            return out;
          t_lo = top.t_lo;
          t_hi = top.mid;
          depth = top_depth + 1;
          descend = true;
        } else if (out.status == kViolation) {
          out.clear_after = top.r1_status == kClear && out.clear_after == 1 ? 1 : 0;
        } else if (out.status < kExhausted) {
          const bool unresolved = top.r1_status == kUnresolved || out.status == kUnresolved;
          out = Outcome{unresolved ? kUnresolved : kClear};
          out.clear_after = unresolved ? 0 : 1;
        }
      }
      if (!descend) return out;
    }
  }

  const ClearanceSearchParams& p_;
  CancelPoller& poller_;
  ClearanceSearchResult& r_;
  uint64_t limit_;  // the evaluation counter stops here
  double speed_;    // the velocity's length, which scales the clear test above unit speed
  double moving_[9], obstacle_[9];
  GrowableArray<LevelRun> levels_;
};

// A pair searched ahead of its turn on a worker thread: its outcome and the evaluations it
// took, without the caller's poller and with an allowance no larger than the budget left.
struct SearchedAhead {
  Outcome outcome;
  uint64_t evaluations;
  bool complete;  // false when its allowance or memory cut it short: search it again in turn
};

// Pairs per thread searched ahead at a time, and the evaluations a pair may take ahead of
// its turn (a longer search is done in turn); together they bound the work that a stop can
// discard and how long should_cancel waits. A pair often takes only a few microseconds, so
// a slice holds enough of them to repay starting its threads (some tens of microseconds),
// and fewer pairs than one thread's share are searched on the calling thread alone.
constexpr int64_t kPairsAheadPerThread = 512;
constexpr uint64_t kEvaluationsAhead = 1024;

// The same search with the pairs spread over threads. A pair's search depends only on its
// triangles until the budget runs out or should_cancel stops it, so a slice of pairs is
// searched ahead in parallel, and then, pair by pair in order, its steps are replayed on
// the calling thread: the work unit of the pair, and for every evaluation a work unit (which
// may consult should_cancel) and the budget check. A pair whose replay is stopped ends the
// call exactly where the one-thread search would; otherwise its outcome is taken as computed.
void search_in_parallel(const ClearanceSearchParams& p, CancelPoller& poller,
                        ClearanceSearchResult& r, int64_t threads) {
  const uint64_t limit = static_cast<uint64_t>(p.evaluation_limit);
  ClearanceSearch in_turn(p, poller, r, limit);
  GrowableArray<SearchedAhead> ahead;
  const int64_t slice = kPairsAheadPerThread * threads;
  for (int64_t first = 0; first < p.pair_count; first += slice) {
    const int64_t count = std::min(slice, p.pair_count - first);
    ahead.clear();
    for (int64_t i = 0; i < count; ++i)
      if (!ahead.push_back({})) {
        r.out_of_memory = true;
        return;
      }
    const uint64_t left = std::min(limit - std::min(limit, r.evaluations), kEvaluationsAhead);
    auto search_one = [&](int64_t i) {
      CancelPoller silent;
      ClearanceSearchResult own;
      ClearanceSearch worker(p, silent, own, left);
      const Outcome o = worker.search_pair(first + i);
      ahead[i] = {o, own.evaluations, o.status != kExhausted && !own.out_of_memory};
    };
    for_each_item(count, threads, search_one);
    for (int64_t i = 0; i < count; ++i) {
      const int64_t k = first + i;
      if (poller.poll_work(1)) {
        r.status = kStopped;
        return;
      }
      ++r.pairs_searched;
      if (!ahead[i].complete) {
        const Outcome o = in_turn.search_pair(k);
        if (r.out_of_memory || !in_turn.take(k, o)) return;
        continue;
      }
      for (uint64_t e = 0; e < ahead[i].evaluations; ++e) {
        if (poller.poll_work(1)) {
          r.status = kStopped;
          return;
        }
        if (r.evaluations >= limit) {
          r.status = kExhausted;
          return;
        }
        ++r.evaluations;
      }
      if (!in_turn.take(k, ahead[i].outcome)) return;
    }
  }
}

}  // namespace

void run_clearance_search(const ClearanceSearchParams& params, CancelPoller& poller,
                          ClearanceSearchResult& result) {
  poller.interval = params.cancel_interval;
  poller.next_check = 0;
  const int64_t threads = effective_thread_count();
  if (threads >= 2 && params.pair_count >= kPairsAheadPerThread) {
    search_in_parallel(params, poller, result, threads);
    return;
  }
  ClearanceSearch(params, poller, result, static_cast<uint64_t>(params.evaluation_limit)).run();
}

}  // namespace zet
