#include "collision/path_query.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "collision/node_pair_queue.h"
#include "collision/swept_box.h"
#include "runtime/float_order.h"
#include "runtime/parallel_for.h"
#include "runtime/raw_memory.h"
#include "runtime/thread_count.h"

namespace zet {
namespace {

// Contacts come out in the window order; records that tie on it (one triangle pair listed
// by two leaf pairs of a tree that repeats triangles) are ordered by their bytes, so that
// the order is total and no sorting method or thread count can change the result.
struct ContactBefore {
  bool operator()(const ContactRecord& p, const ContactRecord& q) const {
    const uint64_t ph = total_order_key(p.exit), qh = total_order_key(q.exit);
    if (ph != qh) return ph > qh;
    const uint64_t pl = total_order_key(p.enter), ql = total_order_key(q.enter);
    if (pl != ql) return pl > ql;
    const int32_t pm = static_cast<int32_t>(p.moving_triangle),
                  qm = static_cast<int32_t>(q.moving_triangle);
    if (pm != qm) return pm < qm;
    const int32_t po = static_cast<int32_t>(p.obstacle_triangle),
                  qo = static_cast<int32_t>(q.obstacle_triangle);
    if (po != qo) return po < qo;
    return std::memcmp(&p, &q, sizeof(ContactRecord)) < 0;
  }
};

// Leaf pairs a batch needs per worker thread: a leaf pair takes a microsecond or a few, and
// starting and joining a thread costs some tens, so smaller batches stay on fewer threads.
constexpr int64_t kLeafPairsPerThread = 64;
// Candidate pairs a budget must still allow per worker thread: a candidate's test takes about
// half a microsecond, so fewer are not worth a thread, and a batch that such a budget cuts
// short is made job by job on the calling thread.
constexpr uint64_t kCandidatesPerThread = 512;

// Below this many contacts the final sort stays on the calling thread.
constexpr size_t kParallelSortMinContacts = 65536;

// Sorts slices of the contacts on several threads, then merges them pairwise.
void sort_contacts(ContactRecord* contacts, size_t n, int64_t threads) {
  const int64_t t = n < kParallelSortMinContacts ? 1 : std::min<int64_t>(threads, 32);
  if (t <= 1) {
    std::sort(contacts, contacts + n, ContactBefore{});
    return;
  }
  size_t bounds[33];
  for (int64_t i = 0; i <= t; ++i) bounds[i] = n * static_cast<size_t>(i) / static_cast<size_t>(t);
  auto sort_slice = [&](int64_t i) {
    std::sort(contacts + bounds[i], contacts + bounds[i + 1], ContactBefore{});
  };
  for_each_item(t, t, sort_slice);
  for (int64_t width = 1; width < t; width *= 2)
    for (int64_t i = 0; i + width < t; i += 2 * width)
      std::inplace_merge(contacts + bounds[i], contacts + bounds[i + width],
                         contacts + bounds[std::min(i + 2 * width, t)], ContactBefore{});
}

// Where the pops made ahead ran out of memory. The replay must stop at the same step as a run
// that pops in turn: before the pop whose record could not be kept (its work unit still
// counts, and may consult should_cancel first), or after the pop whose children could not be
// queued.
enum class PopFailure { kNone, kRecordingPop, kQueueingChildren };

struct PopFailurePoint {
  PopFailure kind = PopFailure::kNone;
  int64_t pop = -1;  // the pop, in the order of the pops made ahead
};

// The run keeps the stated sequence (pop phase, workers, consumption, next pop phase) in
// everything it reports, but overlaps the work: while the other threads process a batch, the
// calling thread already pops the node pairs of the next one. Those pops change nothing that
// the consumption of the current batch reads (the queue only), and their observable steps, a
// work unit and a possible consultation of should_cancel before each pop and the counters,
// are replayed in order after the consumption; a run that stops there simply never uses them.
class PathQueryRun {
 public:
  PathQueryRun(const PathQueryParams& p, LeafPairJob* jobs, CancelPoller& poller,
               PathQueryResult& r)
      : p_(p), jobs_{jobs, jobs + kMaxLeafPairJobs}, poller_(poller), r_(r) {}

  void run() {
    if (!queue_.push(node_pair(p_.t_begin, p_.t_end, 0, 0))) {
      r_.out_of_memory = true;
      return finish();
    }
    int64_t capacity = 256, current = 0;
    int64_t batch = pop_ahead(capacity, jobs_[current]);
    replay_pops();
    while (true) {
      const bool more = !queue_.empty();
      const int64_t next_capacity = capacity < kMaxLeafPairJobs ? 2 * capacity : capacity;
      int64_t next_batch = 0;
      bool popped_ahead = false;
      auto pop_next = [&] {
        if (!more) return;
        next_batch = pop_ahead(next_capacity, jobs_[1 - current]);
        popped_ahead = true;
      };
      if (batch > 0 && !stopped_) flush(batch, jobs_[current], pop_next);
      for (int64_t i = 0; i < batch; ++i) raw_free(jobs_[current][i].outcomes);
      capacity = next_capacity;
      if (!more || stopped_) break;
      if (!popped_ahead) pop_next();
      current = 1 - current;
      batch = next_batch;
      replay_pops();
    }
    finish();
  }

 private:
  // One pop phase without its side effects: pops node pairs until the queue is empty or the
  // batch is full, writes the jobs, and records for each pop the largest queue size seen
  // before it. A failed allocation is recorded at the pop where it happened. Returns the
  // batch size.
  int64_t pop_ahead(int64_t capacity, LeafPairJob* jobs) {
    const TreeView& a = p_.moving;
    const TreeView& b = p_.obstacle;
    const SweptBoxParams box{p_.velocity, p_.box_tol, p_.box_static, 0.0};
    uint64_t heap_max = max_heap_, node_pairs = node_pairs_;
    int64_t batch = 0;
    heap_max_before_pop_.clear();
    failure_ = {};
    while (!queue_.empty() && batch < capacity) {
      heap_max = std::max<uint64_t>(heap_max, queue_.size());
      if (!heap_max_before_pop_.push_back(heap_max)) {
        failure_ = {PopFailure::kRecordingPop, static_cast<int64_t>(heap_max_before_pop_.size())};
        return batch;
      }
      const NodePair pair = queue_.top();
      ++node_pairs;
      const int32_t moving_node = pair.moving_node(), obstacle_node = pair.obstacle_node();
      const bool a_leaf = a.is_leaf(moving_node), b_leaf = b.is_leaf(obstacle_node);
      if (a_leaf && b_leaf) {
        queue_.pop();
        jobs[batch++] = {pair.lo,  pair.hi, moving_node, obstacle_node, node_pairs,
                         heap_max, 0,       0,           nullptr};
        continue;
      }
      const bool split_moving =
          b_leaf || (!a_leaf && a.count(moving_node) >= b.count(obstacle_node));
      NodePair children[2];
      int hits = 0;
      for (int side = 0; side < 2; ++side) {
        int32_t moving = moving_node, obstacle = obstacle_node;
        if (split_moving)
          moving = side == 0 ? a.left(moving) : a.right(moving);
        else
          obstacle = side == 0 ? b.left(obstacle) : b.right(obstacle);
        double lo, hi;
        if (swept_box(a.box_min(moving), a.box_max(moving), b.box_min(obstacle),
                      b.box_max(obstacle), box, pair.lo, pair.hi, &lo, &hi))
          children[hits++] = node_pair(lo, hi, moving, obstacle);
      }
      // The popped pair leaves the top to the child that comes first, which is often the
      // next pair to pop (one short sift); the other child is pushed.
      if (hits == 0) {
        queue_.pop();
        continue;
      }
      const bool second_first = hits == 2 && comes_first(children[1], children[0]);
      queue_.replace_top(children[second_first ? 1 : 0]);
      if (hits == 2 && !queue_.push(children[second_first ? 0 : 1])) {
        failure_ = {PopFailure::kQueueingChildren,
                    static_cast<int64_t>(heap_max_before_pop_.size()) - 1};
        return batch;
      }
    }
    return batch;
  }

  // The side effects of the pops made ahead, in order: before each pop the largest queue
  // size and a work unit (which may consult should_cancel and stop the run before the pop),
  // after it the node pair count; then an allocation failure where one happened.
  void replay_pops() {
    const int64_t pops = static_cast<int64_t>(heap_max_before_pop_.size());
    for (int64_t i = 0; i < pops; ++i) {
      max_heap_ = heap_max_before_pop_[i];
      if (poller_.poll_work(1)) {
        stopped_ = true;
        return;
      }
      ++node_pairs_;
      if (failure_.kind == PopFailure::kQueueingChildren && i == failure_.pop) break;
    }
    if (failure_.kind == PopFailure::kNone) return;
    if (failure_.kind == PopFailure::kRecordingPop && poller_.poll_work(1)) {  // its work unit
      stopped_ = true;
      return;
    }
    r_.out_of_memory = true;
    stopped_ = true;
  }

  // Processes a batch and consumes it in emission order: on the worker threads (the calling
  // thread runs `meanwhile` first and then joins them), or on one thread job by job.
  template <class F>
  void flush(int64_t batch, LeafPairJob* jobs, F& meanwhile) {
    PathQueryContext context{&p_, jobs, {0}};
    const uint64_t budget_left = static_cast<uint64_t>(p_.pair_budget) - r_.pairs_used;
    const int64_t threads =
        std::max<int64_t>(1, std::min(effective_thread_count(), batch / kLeafPairsPerThread));
    if (threads == 1 || budget_left < static_cast<uint64_t>(threads) * kCandidatesPerThread) {
      // Nothing overlaps on one thread: each job is made just before it is consumed, and the
      // next batch is popped (by the caller) only when this one did not stop the run. A small
      // budget or a cancellation then costs the jobs it reads, not a whole batch and the pops
      // of the next one.
      for (int64_t i = 0; i < batch && !stopped_; ++i) {
        process_leaf_pair(context, i);
        if (!made(context)) return;
        consume(jobs[i]);
      }
      return;
    }
    // When the budget may run out inside the batch, the threads take a first part of it (the
    // pops ahead beside them), and the rest in doubling parts only while the run goes on:
    // jobs past the budget are work that nobody reads.
    int64_t end =
        candidate_bound(jobs, batch) > budget_left ? threads * kLeafPairsPerThread : batch;
    auto first = [&](int64_t i) { process_leaf_pair(context, i); };
    for_each_item_after(end, threads, first, meanwhile);
    if (!made(context)) return;
    for (int64_t i = 0; i < end && !stopped_; ++i) consume(jobs[i]);
    for (int64_t begin = end, part = end; begin < batch && !stopped_; begin = end) {
      part *= 2;
      end = std::min(batch, begin + part);
      auto later = [&](int64_t i) { process_leaf_pair(context, begin + i); };
      for_each_item(end - begin,
                    std::max<int64_t>(1, std::min(threads, (end - begin) / kLeafPairsPerThread)),
                    later);
      if (!made(context)) return;
      for (int64_t i = begin; i < end && !stopped_; ++i) consume(jobs[i]);
    }
  }

  // False, with the run stopped for want of memory, when a job could not be made.
  bool made(const PathQueryContext& context) {
    if (context.failed.load(std::memory_order_relaxed) == 0) return true;
    r_.out_of_memory = true;
    stopped_ = true;
    return false;
  }

  // The most candidate pairs the batch's jobs can give: each pairs its two leaves' triangles.
  uint64_t candidate_bound(const LeafPairJob* jobs, int64_t batch) const {
    uint64_t bound = 0;
    for (int64_t i = 0; i < batch; ++i)
      bound += uint64_t(p_.moving.count(jobs[i].moving_leaf)) *
               uint64_t(p_.obstacle.count(jobs[i].obstacle_leaf));
    return bound;
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
      if (r_.pairs_used >= budget) return stop(kPairBudgetExhausted);
      if (poller_.poll_work(0)) return stop(kCancelled);
      const uint64_t chunk = std::min(
          {uint64_t{p_.cancel_interval}, budget - r_.pairs_used, job.candidate_count - done});
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
    if (o.kind == kOutcomeContact) return r_.contacts.push_back(o.record);
    ++r_.uncertain;
    if (o.kind == kOutcomeUndecided) return true;
    return r_.uncertain_windows.push_back(
        {o.record.moving_triangle, o.record.obstacle_triangle, o.record.enter, o.record.exit});
  }

  void stop(TraversalStatus status) {
    r_.status = status;
    stopped_ = true;
  }

  void finish() {
    if (r_.status == kComplete) {
      node_pairs_report_ = node_pairs_;
      max_heap_report_ = max_heap_;
      if (poller_.cancelled || poller_.error) r_.status = kCancelled;
    }
    r_.node_pairs = node_pairs_report_;
    r_.max_heap = max_heap_report_;
    sort_contacts(r_.contacts.data(), r_.contacts.size(), effective_thread_count());
  }

  const PathQueryParams& p_;
  LeafPairJob* jobs_[2];  // the batch being processed and the one popped ahead
  CancelPoller& poller_;
  PathQueryResult& r_;
  NodePairQueue queue_;
  GrowableArray<uint64_t> heap_max_before_pop_;  // of the pops made ahead
  PopFailurePoint failure_;                      // of the pops made ahead
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
