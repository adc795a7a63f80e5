// The worker of the path query: one pair of leaves. Every eligible moving triangle is paired
// with every eligible obstacle triangle; the pairs whose boxes can meet within the job's
// window become candidates, are put into a fixed order (latest window end first) and are
// tested with the translating triangle kernel in that order. The result depends only on the
// job, so the calling thread can consume it deterministically and cut it at an exact budget.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "collision/ccd_kernel.h"
#include "collision/path_query.h"
#include "collision/swept_box.h"
#include "collision/triangle_box.h"
#include "collision/window_order.h"
#include "runtime/raw_memory.h"

namespace zet {
namespace {

struct Candidate {
  double lo, hi;
  uint32_t moving_triangle, obstacle_triangle;
};

bool candidate_before(const Candidate& p, const Candidate& q) {
  return later_window_first(p.hi, p.lo, static_cast<int32_t>(p.moving_triangle),
                            static_cast<int32_t>(p.obstacle_triangle), q.hi, q.lo,
                            static_cast<int32_t>(q.moving_triangle),
                            static_cast<int32_t>(q.obstacle_triangle));
}

void sort_candidates(Candidate* c, uint64_t n) {
  if (n > 32) {
    std::sort(c, c + n, candidate_before);
    return;
  }
  for (uint64_t i = 1; i < n; ++i) {
    const Candidate x = c[i];
    uint64_t j = i;
    for (; j > 0 && candidate_before(x, c[j - 1]); --j) c[j] = c[j - 1];
    c[j] = x;
  }
}

// Candidates live in a local buffer of 64 entries and move to the heap, doubling, beyond it.
class CandidateBuffer {
 public:
  ~CandidateBuffer() {
    if (data_ != local_) raw_free(data_);
  }
  bool push_back(const Candidate& c) {
    if (size_ == capacity_ && !grow()) return false;
    data_[size_++] = c;
    return true;
  }
  Candidate* data() { return data_; }
  uint64_t size() const { return size_; }

 private:
  bool grow() {
    void* grown = raw_malloc(2 * capacity_ * sizeof(Candidate));
    if (grown == nullptr) return false;
    std::memcpy(grown, data_, size_ * sizeof(Candidate));
    if (data_ != local_) raw_free(data_);
    data_ = static_cast<Candidate*>(grown);
    capacity_ *= 2;
    return true;
  }

  Candidate local_[64];
  Candidate* data_ = local_;
  uint64_t size_ = 0, capacity_ = 64;
};

// Obstacle triangles whose boxes are taken once for all the moving triangles of a job: a
// leaf's worth at a time (a leaf holds a few triangles; longer ones go in parts).
constexpr int32_t kObstacleBoxes = 16;

struct ObstacleBox {
  uint32_t triangle;
  double lo[3], hi[3];
};

// The push order does not matter: the candidates are sorted, and two that compare equal
// are the same bytes.
bool collect_candidates(const PathQueryParams& p, const LeafPairJob& job, CandidateBuffer& out) {
  const TreeView& a = p.moving;
  const TreeView& b = p.obstacle;
  const SweptBoxParams box{p.velocity, p.box_tol, p.box_static, 0.0};
  const int32_t obstacle_count = b.count(job.obstacle_leaf);
  TriangleCoords m, o;
  ObstacleBox boxes[kObstacleBoxes];
  for (int32_t part = 0; part < obstacle_count; part += kObstacleBoxes) {
    int32_t held = 0;
    for (int32_t j = part; j < std::min(obstacle_count, part + kObstacleBoxes); ++j) {
      const uint32_t ot = b.order[b.start(job.obstacle_leaf) + int64_t{j}];
      if (b.excluded[ot] != 0) continue;
      load_triangle(b, ot, o);
      boxes[held++] = {ot, {o.lo[0], o.lo[1], o.lo[2]}, {o.hi[0], o.hi[1], o.hi[2]}};
    }
    if (held == 0) continue;
    for (int32_t i = 0; i < a.count(job.moving_leaf); ++i) {
      const uint32_t mt = a.order[a.start(job.moving_leaf) + int64_t{i}];
      if (a.excluded[mt] != 0) continue;
      load_triangle(a, mt, m);
      for (int32_t j = 0; j < held; ++j) {
        double lo, hi;
        if (swept_box(m.lo, m.hi, boxes[j].lo, boxes[j].hi, box, job.lo, job.hi, &lo, &hi) &&
            !out.push_back({lo, hi, mt, boxes[j].triangle}))
          return false;
      }
    }
  }
  return true;
}

}  // namespace

void process_leaf_pair(PathQueryContext& context, int64_t index) {
  const PathQueryParams& p = *context.params;
  LeafPairJob& job = context.jobs[index];
  job.candidate_count = 0;
  job.outcome_count = 0;
  job.outcomes = nullptr;
  CandidateBuffer candidates;
  if (!collect_candidates(p, job, candidates)) {
    context.failed.store(1, std::memory_order_relaxed);
    return;
  }
  sort_candidates(candidates.data(), candidates.size());
  job.candidate_count = candidates.size();
  TriangleCoords m, o;
  for (uint64_t k = 0; k < candidates.size(); ++k) {
    const Candidate& c = candidates.data()[k];
    load_triangle(p.moving, c.moving_triangle, m);
    load_triangle(p.obstacle, c.obstacle_triangle, o);
    const TriangleCcdResult r = translating_triangle_ccd(m.xyz, o.xyz, p.velocity, c.lo, c.hi,
                                                         p.abs_tol, p.rel_tol, p.sin_tol);
    if (r.status == kCcdSeparated) continue;
    if (job.outcomes == nullptr) {
      job.outcomes = static_cast<PairOutcome*>(raw_malloc(candidates.size() * sizeof(PairOutcome)));
      if (job.outcomes == nullptr) {
        context.failed.store(1, std::memory_order_relaxed);
        return;
      }
    }
    PairOutcome& out = job.outcomes[job.outcome_count++];
    out.candidate_index = k;
    out.kind = r.status == kCcdContact        ? kOutcomeContact
               : r.reason == kCcdUntestedAxes ? kOutcomeUntestedAxes
                                              : kOutcomeUndecided;
    out.record = {c.moving_triangle, c.obstacle_triangle, r.enter, r.exit, 0.0, 0.0, 0.0};
    if (out.kind == kOutcomeContact) {
      out.record.strict = r.strict == 1 ? 1.0 : 0.0;
      out.record.strict_enter = r.strict_enter;
      out.record.strict_exit = r.strict_exit;
    }
  }
}

}  // namespace zet
