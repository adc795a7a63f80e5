#include "rays/ray_winding.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "rays/coherent_order.h"
#include "rays/crossing_rule.h"
#include "rays/wide_tree.h"
#include "rays/wide_walk.h"
#include "rays/winding_leaf_groups.h"
#include "rays/winding_packets.h"
#include "runtime/cpu_lanes.h"
#include "runtime/growable.h"
#include "runtime/parallel_for.h"
#include "runtime/raw_array.h"
#include "runtime/vec3.h"

namespace zet {
namespace {

// Points per claimed item: a block sets up its walk (stacks, scratch) once, which 64 points
// (one packet) paid for about 3% of the time; a million points still make a thousand items.
constexpr int64_t kBlock = 1024;

// Whether the ray from p (reciprocal direction r) reaches the box [lo, hi] grown by g on
// every side at some t >= 0: with near the largest slab entry (and 0) and far the smallest
// slab exit, far >= near. A NaN slab end, such as 0 * infinity for a point on a grown face
// along an axis the ray does not move on, makes the node a miss, as a NaN would if it ran
// through the minima and maxima; testing for it apart keeps the rest free of branches.
inline bool reaches_box(const double* lo, const double* hi, const double p[3], const double r[3],
                        double g) {
  double near = 0.0, far = std::numeric_limits<double>::infinity();
  bool ordered = true;
  for (int k = 0; k < 3; ++k) {
    const double t1 = (lo[k] - g - p[k]) * r[k];
    const double t2 = (hi[k] + g - p[k]) * r[k];
    ordered &= (t1 == t1) & (t2 == t2);
    const double entry = t1 < t2 ? t1 : t2, exit = t1 < t2 ? t2 : t1;
    near = entry > near ? entry : near;
    far = exit < far ? exit : far;
  }
  return ordered & (far >= near);
}

struct Verdict {
  int64_t count;
  bool ambiguous;
  bool out_of_memory;
};

// One point's walk, depth first with the left child first. Stops at the first ambiguity,
// keeping the count reached so far. A child is tested before it is pushed and only pushed
// when its box is reached: the nodes handled, and their order, are those of a walk that
// pushes both children and tests each as it comes off the stack. Both children are written
// and the top advances by the test results, because the outcomes are unpredictable and
// branches on them would mostly mispredict. The array only lends its memory: the top is
// kept here.
Verdict wind_point(const WindingBatch& b, const double p[3], const double r[3], double g,
                   GrowableArray<int64_t>& stack) {
  const WindingTree& tree = b.tree;
  Verdict v{0, false, false};
  if (!stack.reserve(1)) {
    v.out_of_memory = true;
    return v;
  }
  if (!reaches_box(tree.node_min, tree.node_max, p, r, g)) return v;
  int64_t* nodes = stack.data();
  size_t top = 0;
  nodes[top++] = 0;
  while (top > 0 && !v.ambiguous) {
    const int64_t n = nodes[--top];
    if (tree.is_leaf[n] == 0) {
      if (top + 2 > stack.capacity()) {
        if (!stack.reserve(top + 2)) {
          v.out_of_memory = true;
          return v;
        }
        nodes = stack.data();
      }
      const int64_t left = tree.child_left[n], right = tree.child_right[n];
      nodes[top] = right;
      top += reaches_box(tree.node_min + 3 * right, tree.node_max + 3 * right, p, r, g);
      nodes[top] = left;
      top += reaches_box(tree.node_min + 3 * left, tree.node_max + 3 * left, p, r, g);
      continue;
    }
    const int64_t* row = tree.leaf_table + n * tree.leaf_width;
    for (int64_t c = 0; c < tree.leaf_width && !v.ambiguous; ++c) {
      const int64_t j = row[c];
      if (j < 0 || tree.usable[j] == 0) continue;
      switch (
          classify_crossing(p, b.direction, tree.triangle_vertices + 9 * j, b.origin_tolerance)) {
        case Crossing::kAgainstNormal:
          v.count += 1;
          break;
        case Crossing::kAlongNormal:
          v.count -= 1;
          break;
        case Crossing::kAmbiguous:
          v.ambiguous = true;
          break;
        case Crossing::kNone:
          break;
      }
    }
  }
  return v;
}

}  // namespace

int64_t first_malformed_winding_node(const int64_t* child_left, const int64_t* child_right,
                                     const uint8_t* is_leaf, int64_t node_count,
                                     uint64_t* child_seen) {
  auto seen = [&](int64_t node) { return (child_seen[node >> 6] >> (node & 63)) & 1; };
  auto mark = [&](int64_t node) { child_seen[node >> 6] |= uint64_t{1} << (node & 63); };
  for (int64_t i = 0; i < node_count; ++i) {
    if (is_leaf[i] != 0) continue;
    const int64_t left = child_left[i], right = child_right[i];
    if (left <= i || right <= i || left >= node_count || right >= node_count) return i;
    if (left == right || seen(left) || seen(right)) return i;
    mark(left);
    mark(right);
  }
  return -1;
}

bool entries_below(const int64_t* entries, int64_t count, int64_t limit) {
  for (int64_t i = 0; i < count; ++i)
    if (entries[i] >= limit) return false;
  return true;
}

bool prepare_crossing(const double direction[3], const double corners[9], PreparedCrossing* out) {
  const Vec3 d = load(direction), v0 = load(corners);
  const Vec3 e1 = sub(load(corners + 3), v0), e2 = sub(load(corners + 6), v0);
  const Vec3 q = cross(d, e2);
  const double det = dot(e1, q);
  const Vec3 normal = cross(e1, e2);
  // |d . unit normal| <= kCrossingParallel, without dividing by a normal that may be zero.
  if (std::fabs(det) <= kCrossingParallel * norm(normal)) return false;
  *out = {v0, e1, e2, q, 1.0 / det, det > 0.0};
  return true;
}

Crossing classify_prepared(const double point[3], const double direction[3],
                           const PreparedCrossing& c, double origin_tolerance) {
  return classify_prepared_rule(point, direction, c, origin_tolerance);
}

Crossing classify_crossing(const double point[3], const double direction[3],
                           const double corners[9], double origin_tolerance) {
  PreparedCrossing c;
  if (!prepare_crossing(direction, corners, &c)) return Crossing::kAmbiguous;
  return classify_prepared(point, direction, c, origin_tolerance);
}

bool prepare_winding_triangles(const WindingTree& tree, const double direction[3],
                               RawArray<WindingTriangle>& prepared) {
  const int64_t triangle_count = tree.triangle_count;
  if (!prepared.resize(static_cast<size_t>(triangle_count))) return false;
  for (int64_t j = 0; j < triangle_count; ++j) {
    WindingTriangle& c = prepared.get()[j];
    c.kind = tree.usable[j] == 0 ? WindingTriangle::kSkipped
             : prepare_crossing(direction, tree.triangle_vertices + 9 * j, &c.prepared)
                 ? WindingTriangle::kCrossing
                 : WindingTriangle::kParallel;
  }
  return true;
}

namespace {

// Points order[begin, end) one at a time (begin .. end - 1 when order is null). False when
// a stack could not get memory; as soon as that happens nothing more is stored.
bool wind_points_one_by_one(const WindingBatch& b, const uint32_t* order, int64_t begin,
                            int64_t end) {
  // A zero component gives an infinite reciprocal; the slab test copes with it.
  const double r[3] = {1.0 / b.direction[0], 1.0 / b.direction[1], 1.0 / b.direction[2]};
  const double g = 8.0 * b.epsilon;
  GrowableArray<int64_t> stack;  // freed when the block ends
  for (int64_t at = begin; at < end; ++at) {
    const int64_t i = order != nullptr ? order[at] : at;
    const Verdict v = wind_point(b, b.points + 3 * i, r, g, stack);
    if (v.out_of_memory) return false;
    b.crossings[i] = v.count;
    b.ambiguous[i] = v.ambiguous ? 1 : 0;
  }
  return true;
}

using PointsKernel = bool (*)(const WindingBatch&, const uint32_t*, int64_t, int64_t);

// The collapse and the prepared triangles cost about as much as walking a tenth as many
// points as the tree has nodes; fewer points walk the binary tree.
constexpr int64_t kPointsPerNodeToCollapse = 8;

// Below this many points the sorting costs more than the coherence saves.
constexpr int64_t kCoherentOrderFrom = 4096;

}  // namespace

bool wind_binary(const WindingBatch& b, const double point[3], int64_t& count, bool& ambiguous) {
  const double r[3] = {1.0 / b.direction[0], 1.0 / b.direction[1], 1.0 / b.direction[2]};
  GrowableArray<int64_t> stack;
  const Verdict v = wind_point(b, point, r, 8.0 * b.epsilon, stack);
  count = v.count;
  ambiguous = v.ambiguous;
  return !v.out_of_memory;
}

// Points a worker thread needs: a point's walk takes about a microsecond, starting and joining
// a thread some tens, so small batches stay on fewer threads.
constexpr int64_t kPointsPerThread = 1024;

bool run_ray_winding(const WindingBatch& b, int64_t threads) {
  threads = std::max<int64_t>(1, std::min(threads, b.point_count / kPointsPerThread));
  // Points are taken in an order that keeps neighbouring rays together (their results do
  // not depend on it); failing memory for it is failing memory for the call.
  RawArray<uint32_t> keys, cell_starts, order;
  const uint32_t* sorted = nullptr;
  if (b.point_count >= kCoherentOrderFrom && b.point_count <= int64_t{UINT32_MAX}) {
    if (!keys.resize(b.point_count) ||
        !cell_starts.resize(size_t{coherent_cell_count(b.point_count)} + 1) ||
        !order.resize(b.point_count))
      return false;
    if (coherent_order(b.points, b.point_count, b.direction, keys.get(), cell_starts.get(),
                       order.get(), threads))
      sorted = order.get();
  }
  // The collapsed tree serves every finite point when the direction allows it; otherwise
  // (or when memory for it is short) every point walks the binary tree.
  const double r[3] = {1.0 / b.direction[0], 1.0 / b.direction[1], 1.0 / b.direction[2]};
  const WideWinding wide_kernel = wide_winding();
  WideTree wide;
  RawArray<WindingTriangle> triangles;
  RawArray<WindingLeafGroup> groups;
  const bool collapsed =
      b.point_count >= b.tree.node_count / kPointsPerNodeToCollapse && wide_winding_direction(r) &&
      collapse_winding_tree(b.tree, 8.0 * b.epsilon, r, wide) &&
      (wide_kernel.grouped ? prepare_winding_leaf_groups(b.tree, b.direction, wide, groups, threads)
                           : prepare_winding_triangles(b.tree, b.direction, triangles));
  const WindingLeaves leaves{triangles.get(), groups.get()};
  static const PointsKernel kernel = widest_build<PointsKernel>(
      wind_points_one_by_one, ZET_LANE_BUILD(wind_points_avx2), ZET_LANE_BUILD(wind_points_avx512));
  std::atomic<bool> out_of_memory{false};
  auto block = [&](int64_t index) {
    const int64_t end = std::min(index * kBlock + kBlock, b.point_count);
    const bool done = collapsed
                          ? wide_kernel.run(b, wide.nodes(), leaves, sorted, index * kBlock, end)
                          : kernel(b, sorted, index * kBlock, end);
    if (!done) out_of_memory.store(true, std::memory_order_relaxed);
  };
  for_each_item((b.point_count + kBlock - 1) / kBlock, threads, block);
  return !out_of_memory.load(std::memory_order_relaxed);
}

}  // namespace zet
