#include "rays/direction_scores.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "rays/wide_walk.h"
#include "runtime/float_order.h"
#include "runtime/parallel_for.h"
#include "runtime/raw_array.h"

namespace zet {
namespace {

// Stable insertion sort of hits by depth. A comparison with a NaN depth is false, which only
// ends a shift early: the loop never leaves the run, whatever the depths.
void sort_run_by_depth(RayHit* run, size_t count) {
  for (size_t i = 1; i < count; ++i) {
    const RayHit hit = run[i];
    size_t j = i;
    while (j > 0 && hit.depth < run[j - 1].depth) {
      run[j] = run[j - 1];
      --j;
    }
    run[j] = hit;
  }
}

// Splits the sorted hits of one ray into entry/exit pairs and a last unmatched entry.
bool read_run(const RayHit* run, size_t count, double length, RayScratch& s) {
  for (size_t r = 0; r < count; ++r) {
    const double depth = run[r].depth;
    const bool entry = r % 2 == 0;
    if (entry && r + 1 == count) return s.tail.push_back(length - depth);
    if (!s.paired.push_back(entry ? -depth : depth)) return false;
  }
  return true;
}

struct DirectionWork {
  const DirectionScoresParams* params;
  // Per obstacle: its tree collapsed with its epsilon, and the moving tree collapsed with it.
  const WideTree* obstacle_wide;
  const WideTree* const* moving_wide;
  // The leaf blocks of the collapsed trees, one tree's after another's (laid out once for
  // the call), where each tree's start, and how many there are in all.
  const BlockSpan* spans;
  const int64_t* obstacle_offset;
  int64_t moving_offset;
  int64_t blocks;
  int64_t block;   // directions per claimed item
  bool collapsed;  // whether any tree was collapsed
  std::atomic<int64_t> next_item{0};
  std::atomic<bool> out_of_memory{false};
};

// The box the moving mesh sweeps along direction d over length.
struct SweptBox {
  double min[3], max[3];
};

SweptBox swept_box(const RayMeshView& moving, const double d[3], double length) {
  SweptBox swept;
  for (int a = 0; a < 3; ++a) {
    swept.min[a] = min_as_written(moving.bounds_min[a], moving.bounds_min[a] + d[a] * length);
    swept.max[a] = max_as_written(moving.bounds_max[a], moving.bounds_max[a] + d[a] * length);
  }
  return swept;
}

// Whether a direction's rays are traced against the obstacle at all: its box grown by its
// epsilon meets the swept box.
bool considered(const SweptBox& swept, const RayMeshView& obstacle) {
  const double e = obstacle.epsilon;
  bool meets = true;
  for (int a = 0; a < 3; ++a)
    meets = meets && swept.min[a] <= obstacle.bounds_max[a] + e &&
            obstacle.bounds_min[a] <= swept.max[a] + e;
  return meets;
}

void score_direction(DirectionWork& work, int64_t i, RayScratch& scratch, LazyLeaves* lazy) {
  const DirectionScoresParams& p = *work.params;
  if (lazy != nullptr) next_generation(*lazy);  // a new direction: nothing prepared for it yet
  const RayMeshView& moving = *p.moving;
  const double* d = p.directions + 3 * i;
  const double back[3] = {-d[0], -d[1], -d[2]};
  const SweptBox swept = swept_box(moving, d, p.length);
  int64_t count = 0;
  double score = 0.0;
  for (int64_t j = 0; j < p.obstacle_count && !scratch.out_of_memory; ++j) {
    const RayMeshView& obstacle = p.obstacles[j];
    if (!considered(swept, obstacle)) continue;
    const double e = obstacle.epsilon;
    double obstacle_min[3], obstacle_max[3], moving_min[3], moving_max[3];
    for (int a = 0; a < 3; ++a) {
      obstacle_min[a] = obstacle.bounds_min[a] - e;
      obstacle_max[a] = obstacle.bounds_max[a] + e;
      moving_min[a] = moving.bounds_min[a] - e;
      moving_max[a] = moving.bounds_max[a] + e;
    }
    const Penetration forward =
        ray_penetration(moving, obstacle, work.obstacle_wide[j], lazy, work.obstacle_offset[j], d,
                        p.length, e, obstacle_min, obstacle_max, scratch);
    const Penetration backward =
        ray_penetration(obstacle, moving, *work.moving_wide[j], lazy, work.moving_offset, back,
                        p.length, e, moving_min, moving_max, scratch);
    if (forward.hits + backward.hits > 0) {
      count = count + 1;
      score = score + forward.score + backward.score;
    }
  }
  p.counts[i] = count;
  p.scores[i] = score;
}

// Directions per claimed item at most; fewer when there are too few directions to keep every
// thread busy.
constexpr int64_t kDirectionsPerBlock = 8;

// One thread's share: it claims items of directions until none is left. Its scratch and its
// prepared blocks (as large as the collapsed trees' leaves, and prepared leaf by leaf) are
// made once for all the directions it scores, not once per item.
void score_items(DirectionWork& work) {
  const DirectionScoresParams& p = *work.params;
  RayScratch scratch;
  // Without memory for the prepared blocks the rays walk the binary trees.
  LazyLeaves lazy;
  LazyLeaves* prepared =
      work.collapsed && reserve_lazy_leaves(lazy, work.spans, work.blocks) ? &lazy : nullptr;
  const int64_t items = (p.direction_count + work.block - 1) / work.block;
  for (;;) {
    if (work.out_of_memory.load(std::memory_order_relaxed)) return;  // the call fails anyway
    const int64_t item = work.next_item.fetch_add(1, std::memory_order_relaxed);
    if (item >= items) return;
    const int64_t end = std::min(item * work.block + work.block, p.direction_count);
    for (int64_t i = item * work.block; i < end && !scratch.out_of_memory; ++i)
      score_direction(work, i, scratch, prepared);
    if (scratch.out_of_memory) work.out_of_memory.store(true, std::memory_order_relaxed);
  }
}

}  // namespace

double pairwise_sum(const double* a, size_t n) {
  if (n < 8) {
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) sum += a[i];
    return sum;
  }
  if (n <= 128) {
    double s[8];
    for (int k = 0; k < 8; ++k) s[k] = a[k];
    const size_t whole = n - n % 8;
    for (size_t i = 8; i < whole; i += 8)
      for (int k = 0; k < 8; ++k) s[k] += a[i + k];
    double sum = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
    for (size_t i = whole; i < n; ++i) sum += a[i];
    return sum;
  }
  const size_t h = n / 2 - (n / 2) % 8;
  return pairwise_sum(a, h) + pairwise_sum(a + h, n - h);
}

Penetration ray_penetration(const RayMeshView& source, const RayMeshView& target,
                            const WideTree& target_wide, LazyLeaves* lazy, int64_t target_offset,
                            const double direction[3], double length, double epsilon,
                            const double box_min[3], const double box_max[3], RayScratch& s) {
  s.hits.clear();
  bool traced = false;
  double inverse[3];
  inverse_direction(direction, inverse);
  // The collapsed tree serves the rays when it is there and the direction allows it; the
  // hits come out as trace_ray gives them ray after ray.
  const bool wide = target_wide.ready() && lazy != nullptr && wide_ray_direction(inverse);
  const LeafSource leaves{&target.tree, lazy, target_offset};
  WideRayBatch batch(target.tree, target_wide, leaves, direction, inverse, epsilon, length, s.hits);
  int64_t rays = 0;
  for (int64_t i = 0; i < source.point_count && !s.out_of_memory; ++i) {
    const double* v = source.tree.vertices + 3 * source.points[i];
    bool inside = true;
    for (int a = 0; a < 3; ++a) {
      const double w = v[a] + direction[a] * length;
      inside =
          inside && min_as_written(v[a], w) <= box_max[a] && max_as_written(v[a], w) >= box_min[a];
    }
    if (!inside) continue;
    traced = true;
    if (wide) {
      if (!batch.add(v, rays++)) s.out_of_memory = true;
      continue;
    }
    trace_ray(target.tree, v, direction, inverse, epsilon, length, rays++, s.hits, s.stack,
              s.out_of_memory);
  }
  if (!traced) return {0, 0.0};
  if (wide && !s.out_of_memory && !batch.flush()) s.out_of_memory = true;
  s.paired.clear();
  s.tail.clear();
  const size_t h = s.hits.size();
  size_t begin = 0;
  while (begin < h && !s.out_of_memory) {  // one run of hits per traced ray
    size_t end = begin + 1;
    while (end < h && s.hits[end].ray == s.hits[begin].ray) ++end;
    sort_run_by_depth(s.hits.data() + begin, end - begin);
    if (!read_run(s.hits.data() + begin, end - begin, length, s)) s.out_of_memory = true;
    begin = end;
  }
  const double score =
      pairwise_sum(s.paired.data(), s.paired.size()) + pairwise_sum(s.tail.data(), s.tail.size());
  return {static_cast<int64_t>(h), score};
}

// Rays of all directions per node of a tree, below which the tree is not collapsed.
constexpr int64_t kNodesPerRayToCollapse = 8;

// count x rays, or INT64_MAX when that does not fit.
int64_t rays_of(int64_t count, int64_t rays) {
  int64_t product;
  return __builtin_mul_overflow(count, rays, &product) ? INT64_MAX : product;
}

// Vertex rays (over all directions) a worker thread needs: a ray takes a fraction of a
// microsecond to a few, starting and joining a thread some tens.
constexpr int64_t kRaysPerThread = 16384;

bool run_direction_scores(const DirectionScoresParams& params, int64_t threads) {
  // Every tree that enough rays can meet collapsed once for the call: each obstacle's with
  // its epsilon, the moving one with each obstacle's epsilon (shared by obstacles of the
  // same epsilon). A tree left out, or whose collapse fails, is walked as a binary tree; only
  // the collapsed ones get leaf blocks, each tree's laid out once.
  const int64_t n = params.obstacle_count;
  const RayMeshView& moving = *params.moving;
  const bool collapse = wide_ray_tracer() != nullptr;  // else the rays walk the binary trees
  WideTreeArray obstacle_wide, moving_wide;
  RawArray<const WideTree*> moving_of;
  RawArray<int64_t> offsets;
  if (!obstacle_wide.resize(n) || !moving_wide.resize(n) || !moving_of.resize(size_t(n)) ||
      !offsets.resize(size_t(n)))
    return false;
  // The rays a tree can meet are those of the directions that consider its obstacle: a
  // call whose directions all miss the obstacles' boxes (a short probe, often) collapses
  // nothing. The directions that consider obstacle j, counted at one box test each.
  RawArray<int64_t> directions_of;
  if (!directions_of.resize(size_t(n))) return false;
  std::fill(directions_of.get(), directions_of.get() + n, int64_t{0});
  for (int64_t i = 0; i < params.direction_count && collapse; ++i) {
    const SweptBox swept = swept_box(moving, params.directions + 3 * i, params.length);
    for (int64_t j = 0; j < n; ++j)
      directions_of.get()[j] += considered(swept, params.obstacles[j]);
  }
  LeafLayout blocks;
  RawArray<int32_t> obstacle_first, moving_first;
  int64_t moving_offset = -2;  // -2: not laid out yet
  bool collapsed = false;
  for (int64_t j = 0; j < n; ++j) {
    const RayMeshView& obstacle = params.obstacles[j];
    const double e = obstacle.epsilon;
    offsets.get()[j] = 0;  // any place when the tree is not collapsed
    const int64_t obstacle_rays = rays_of(directions_of.get()[j], moving.point_count);
    if (collapse && obstacle_rays > 0 &&
        obstacle_rays >= obstacle.tree.k / kNodesPerRayToCollapse) {
      const int64_t offset = blocks.add(obstacle.tree, obstacle_first);
      if (offset >= 0 &&
          collapse_ray_tree(obstacle.tree, obstacle_first.get(), e, obstacle_wide[j])) {
        offsets.get()[j] = offset;
        collapsed = true;
      }
    }
    moving_of.get()[j] = &moving_wide[j];
    for (int64_t i = 0; i < j; ++i)
      if (std::memcmp(&params.obstacles[i].epsilon, &e, sizeof e) == 0) {
        moving_of.get()[j] = moving_of.get()[i];
        break;
      }
    // The moving tree collapsed with e serves the rays of every obstacle of epsilon e.
    int64_t moving_rays = 0;
    for (int64_t i = j; i < n && moving_of.get()[j] == &moving_wide[j]; ++i)
      if (std::memcmp(&params.obstacles[i].epsilon, &e, sizeof e) == 0) {
        const int64_t more = rays_of(directions_of.get()[i], params.obstacles[i].point_count);
        moving_rays = more > INT64_MAX - moving_rays ? INT64_MAX : moving_rays + more;
      }
    if (collapse && moving_of.get()[j] == &moving_wide[j] && moving_rays > 0 &&
        moving_rays >= moving.tree.k / kNodesPerRayToCollapse) {
      if (moving_offset == -2) moving_offset = blocks.add(moving.tree, moving_first);
      if (moving_offset >= 0 &&
          collapse_ray_tree(moving.tree, moving_first.get(), e, moving_wide[j]))
        collapsed = true;
    }
  }
  DirectionWork work;
  work.params = &params;
  work.obstacle_wide = &obstacle_wide[0];
  work.moving_wide = moving_of.get();
  work.spans = blocks.spans();
  work.obstacle_offset = offsets.get();
  work.moving_offset = std::max<int64_t>(moving_offset, 0);  // any place when not collapsed
  work.blocks = blocks.count();
  work.collapsed = collapsed;
  int64_t rays_per_direction = moving.point_count;
  for (int64_t j = 0; j < n; ++j) rays_per_direction += params.obstacles[j].point_count;
  rays_per_direction = std::max<int64_t>(rays_per_direction, 1);
  const int64_t rays = params.direction_count > INT64_MAX / rays_per_direction
                           ? INT64_MAX
                           : params.direction_count * rays_per_direction;
  threads = std::max<int64_t>(1, std::min(threads, rays / kRaysPerThread));
  work.block = std::clamp<int64_t>(params.direction_count / (4 * threads), 1, kDirectionsPerBlock);
  auto body = [&work](int64_t) { score_items(work); };
  for_each_item(threads, threads, body);
  return !work.out_of_memory.load();
}

}  // namespace zet
