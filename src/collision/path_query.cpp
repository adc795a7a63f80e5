#include "collision/path_query.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "collision/swept_box.h"
#include "collision/window_order.h"
#include "runtime/parallel_for.h"
#include "runtime/raw_memory.h"
#include "runtime/thread_count.h"

namespace zet {
namespace {

// A queue entry carries the total-order keys of its window, computed once at the push,
// so that the heap compares integers.
struct NodePair {
  uint64_t hi_key, lo_key;
  double lo, hi;
  int32_t moving_node, obstacle_node;
};

NodePair node_pair(double lo, double hi, int32_t moving_node, int32_t obstacle_node) {
  return {total_order_key(hi), total_order_key(lo), lo, hi, moving_node, obstacle_node};
}

// The window order of later_window_first, on the precomputed keys.
bool comes_first(const NodePair& p, const NodePair& q) {
  if (p.hi_key != q.hi_key) return p.hi_key > q.hi_key;
  if (p.lo_key != q.lo_key) return p.lo_key > q.lo_key;
  if (p.moving_node != q.moving_node) return p.moving_node < q.moving_node;
  return p.obstacle_node < q.obstacle_node;
}

// The heap keeps the pair that comes first at its top.
bool lower_priority(const NodePair& p, const NodePair& q) { return comes_first(q, p); }

// Contacts come out in the window order; records that tie on it (one triangle pair listed
// by two leaf pairs of a tree that repeats triangles) are ordered by their bytes, so that
// the order is total and no sorting method or thread count can change the result.
bool contact_before(const ContactRecord& p, const ContactRecord& q) {
  const int32_t pm = static_cast<int32_t>(p.moving_triangle), po = static_cast<int32_t>(p.obstacle_triangle);
  const int32_t qm = static_cast<int32_t>(q.moving_triangle), qo = static_cast<int32_t>(q.obstacle_triangle);
  if (later_window_first(p.exit, p.enter, pm, po, q.exit, q.enter, qm, qo)) return true;
  if (later_window_first(q.exit, q.enter, qm, qo, p.exit, p.enter, pm, po)) return false;
  return std::memcmp(&p, &q, sizeof(ContactRecord)) < 0;
}

// Below this many contacts the final sort stays on the calling thread.
constexpr size_t kParallelSortMinContacts = 65536;

// Sorts slices of the contacts on several threads, then merges them pairwise.
void sort_contacts(ContactRecord* contacts, size_t n, int64_t threads) {
  const int64_t t = n < kParallelSortMinContacts ? 1 : std::min<int64_t>(threads, 32);
  if (t <= 1) {
    std::sort(contacts, contacts + n, contact_before);
    return;
  }
  size_t bounds[33];
  for (int64_t i = 0; i <= t; ++i) bounds[i] = n * static_cast<size_t>(i) / static_cast<size_t>(t);
  auto sort_slice = [&](int64_t i) { std::sort(contacts + bounds[i], contacts + bounds[i + 1], contact_before); };
  for_each_item(t, t, sort_slice);
  for (int64_t width = 1; width < t; width *= 2)
    for (int64_t i = 0; i + width < t; i += 2 * width)
      std::inplace_merge(contacts + bounds[i], contacts + bounds[i + width],
                         contacts + bounds[std::min(i + 2 * width, t)], contact_before);
}

class PathQueryRun {
 public:
  PathQueryRun(const PathQueryParams& p, LeafPairJob* jobs, CancelPoller& poller, PathQueryResult& r)
      : p_(p), jobs_(jobs), poller_(poller), r_(r) {}

  void run() {
    if (!push(node_pair(p_.t_begin, p_.t_end, 0, 0))) return finish();
    int64_t capacity = 256;
    while (true) {
      int64_t batch = pop_phase(capacity);
      if (batch > 0 && !stopped_) flush(batch);
      for (int64_t i = 0; i < batch; ++i) raw_free(jobs_[i].outcomes);
      if (capacity < kMaxLeafPairJobs) capacity *= 2;
      if (queue_.empty() || stopped_) break;
    }
    finish();
  }

 private:
  bool push(const NodePair& pair) {
    if (!queue_.push_back(pair)) {
      r_.out_of_memory = true;
      stopped_ = true;
      return false;
    }
    std::push_heap(queue_.data(), queue_.data() + queue_.size(), lower_priority);
    return true;
  }

  NodePair pop() {
    std::pop_heap(queue_.data(), queue_.data() + queue_.size(), lower_priority);
    NodePair top = queue_.back();
    queue_.pop_back();
    return top;
  }

  // Pops node pairs until the queue is empty or the batch is full; returns the batch size.
  int64_t pop_phase(int64_t capacity) {
    int64_t batch = 0;
    const TreeView& a = p_.moving;
    const TreeView& b = p_.obstacle;
    while (!queue_.empty() && batch < capacity) {
      max_heap_ = std::max<uint64_t>(max_heap_, queue_.size());
      if (poller_.poll_work(1)) {
        stopped_ = true;
        break;
      }
      const NodePair pair = pop();
      ++node_pairs_;
      const bool a_leaf = a.is_leaf(pair.moving_node), b_leaf = b.is_leaf(pair.obstacle_node);
      if (a_leaf && b_leaf) {
        jobs_[batch++] = {pair.lo, pair.hi, pair.moving_node, pair.obstacle_node,
                          node_pairs_, max_heap_, 0, 0, nullptr};
        continue;
      }
      const bool split_moving =
          b_leaf || (!a_leaf && a.count(pair.moving_node) >= b.count(pair.obstacle_node));
      const SweptBoxParams box{p_.velocity, p_.box_tol, p_.box_static, 0.0};
      for (int side = 0; side < 2; ++side) {
        int32_t moving = pair.moving_node, obstacle = pair.obstacle_node;
        if (split_moving)
          moving = side == 0 ? a.left(moving) : a.right(moving);
        else
          obstacle = side == 0 ? b.left(obstacle) : b.right(obstacle);
        double lo, hi;
        if (swept_box(a.box_min(moving), a.box_max(moving), b.box_min(obstacle), b.box_max(obstacle),
                      box, pair.lo, pair.hi, &lo, &hi) &&
            !push(node_pair(lo, hi, moving, obstacle)))
          return batch;
      }
    }
    return batch;
  }

  void flush(int64_t batch) {
    const int64_t threads = std::max<int64_t>(1, std::min(effective_thread_count(), batch / 16));
    PathQueryContext context{&p_, jobs_, {0}};
    parallel_for_each([](void* c, int64_t i) { process_leaf_pair(*static_cast<PathQueryContext*>(c), i); },
                      &context, batch, threads);
    if (context.failed.load(std::memory_order_relaxed) != 0) {
      r_.out_of_memory = true;
      stopped_ = true;
      return;
    }
    for (int64_t i = 0; i < batch && !stopped_; ++i) consume(jobs_[i]);
  }

  // Takes the job's outcomes in candidate chunks until the budget or a cancellation stops.
  void consume(const LeafPairJob& job) {
    ++r_.leaf_pairs;
    node_pairs_report_ = job.node_pairs_at_emit;
    max_heap_report_ = job.max_heap_at_emit;
    r_.candidate_pairs += job.candidate_count;
    const uint64_t budget = static_cast<uint64_t>(p_.pair_budget);
    uint64_t done = 0, cursor = 0;
    while (done < job.candidate_count) {
      if (r_.pairs_used >= budget) return stop(1);
      if (poller_.poll_work(0)) return stop(2);
      const uint64_t chunk =
          std::min({uint64_t{p_.cancel_interval}, budget - r_.pairs_used, job.candidate_count - done});
      done += chunk;
      for (; cursor < job.outcome_count && job.outcomes[cursor].candidate_index < done; ++cursor) {
        if (!accept(job.outcomes[cursor])) {
          r_.out_of_memory = true;
          stopped_ = true;
          return;
        }
      }
      r_.pairs_used += chunk;
      ++r_.chunks;
      poller_.work_done += chunk;
    }
  }

  bool accept(const PairOutcome& o) {
    if (o.kind == 0) return r_.contacts.push_back(o.record);
    ++r_.uncertain;
    if (o.kind == 2) return true;
    return r_.uncertain_windows.push_back(
        {o.record.moving_triangle, o.record.obstacle_triangle, o.record.enter, o.record.exit});
  }

  void stop(int status) {
    r_.status = status;
    stopped_ = true;
  }

  void finish() {
    if (r_.status == 0) {
      node_pairs_report_ = node_pairs_;
      max_heap_report_ = max_heap_;
      if (poller_.cancelled || poller_.error) r_.status = 2;
    }
    r_.node_pairs = node_pairs_report_;
    r_.max_heap = max_heap_report_;
    sort_contacts(r_.contacts.data(), r_.contacts.size(), effective_thread_count());
  }

  const PathQueryParams& p_;
  LeafPairJob* jobs_;
  CancelPoller& poller_;
  PathQueryResult& r_;
  GrowableArray<NodePair> queue_;
  bool stopped_ = false;
  uint64_t node_pairs_ = 0, max_heap_ = 0, node_pairs_report_ = 0, max_heap_report_ = 0;
};

}  // namespace

void run_path_query(const PathQueryParams& params, LeafPairJob* jobs, CancelPoller& poller,
                    PathQueryResult& result) {
  poller.interval = params.cancel_interval;
  poller.next_check = params.cancel_interval;
  PathQueryRun(params, jobs, poller, result).run();
}

}  // namespace zet
