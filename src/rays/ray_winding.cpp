#include "rays/ray_winding.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "runtime/growable.h"
#include "runtime/parallel_for.h"
#include "runtime/vec3.h"

namespace zet {
namespace {

constexpr int64_t kBlock = 64;  // points per claimed item; one stack serves a block


// Minimum and maximum in which a NaN operand, on either side, makes the result NaN.
double nan_min(double x, double y) {
  if (x != x || y != y) return std::numeric_limits<double>::quiet_NaN();
  return x < y ? x : y;
}
double nan_max(double x, double y) {
  if (x != x || y != y) return std::numeric_limits<double>::quiet_NaN();
  return x > y ? x : y;
}

// Whether the ray from p (reciprocal direction r) reaches node n's box grown by g on every
// side at some t >= 0. A NaN slab end, such as 0 * infinity for a point on a grown face
// along an axis the ray does not move on, makes the node a miss.
bool reaches_box(const WindingTree& tree, int64_t n, const double p[3], const double r[3],
                 double g) {
  const double* lo = tree.node_min + 3 * n;
  const double* hi = tree.node_max + 3 * n;
  double near_k[3], far_k[3];
  for (int k = 0; k < 3; ++k) {
    const double t1 = (lo[k] - g - p[k]) * r[k];
    const double t2 = (hi[k] + g - p[k]) * r[k];
    near_k[k] = nan_min(t1, t2);
    far_k[k] = nan_max(t1, t2);
  }
  double near = nan_max(nan_max(near_k[0], near_k[1]), near_k[2]);
  near = nan_max(near, 0.0);
  const double far = nan_min(nan_min(far_k[0], far_k[1]), far_k[2]);
  return far >= near;
}

struct Verdict {
  int64_t count;
  bool ambiguous;
  bool out_of_memory;
};

// One point's walk, depth first with the left child first. Stops at the first ambiguity,
// keeping the count reached so far.
Verdict wind_point(const WindingBatch& b, const double p[3], const double r[3], double g,
                   GrowableArray<int64_t>& stack) {
  const WindingTree& tree = b.tree;
  Verdict v{0, false, false};
  stack.clear();
  if (!stack.push_back(0)) {
    v.out_of_memory = true;
    return v;
  }
  while (!stack.empty() && !v.ambiguous) {
    const int64_t n = stack.back();
    stack.pop_back();
    if (!reaches_box(tree, n, p, r, g)) continue;
    if (tree.is_leaf[n] == 0) {
      if (!stack.push_back(tree.child_right[n]) || !stack.push_back(tree.child_left[n])) {
        v.out_of_memory = true;
        return v;
      }
      continue;
    }
    const int64_t* row = tree.leaf_table + n * tree.leaf_width;
    for (int64_t c = 0; c < tree.leaf_width && !v.ambiguous; ++c) {
      const int64_t j = row[c];
      if (j < 0 || tree.usable[j] == 0) continue;
      switch (classify_crossing(p, b.direction, tree.triangle_vertices + 9 * j,
                                b.origin_tolerance)) {
        case Crossing::kAgainstNormal: v.count += 1; break;
        case Crossing::kAlongNormal: v.count -= 1; break;
        case Crossing::kAmbiguous: v.ambiguous = true; break;
        case Crossing::kNone: break;
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

Crossing classify_crossing(const double point[3], const double direction[3],
                           const double corners[9], double origin_tolerance) {
  const Vec3 d = load(direction), v0 = load(corners);
  const Vec3 e1 = sub(load(corners + 3), v0), e2 = sub(load(corners + 6), v0);
  const Vec3 q = cross(d, e2);
  const double det = dot(e1, q);
  const Vec3 normal = cross(e1, e2);
  // |d . unit normal| <= 1e-9, without dividing by a normal that may be zero.
  if (std::fabs(det) <= 1e-9 * norm(normal)) return Crossing::kAmbiguous;
  const double inv_det = 1.0 / det;
  const Vec3 s = sub(load(point), v0);
  const double u = dot(s, q) * inv_det;
  const Vec3 w = cross(s, e1);
  const double v = dot(d, w) * inv_det;
  const double t = dot(e2, w) * inv_det;
  const double m = nan_min(nan_min(u, v), 1.0 - u - v);
  if (m > 1e-9 && t > origin_tolerance)
    return det > 0.0 ? Crossing::kAgainstNormal : Crossing::kAlongNormal;
  if (m >= -1e-9 && t >= -origin_tolerance) return Crossing::kAmbiguous;
  return Crossing::kNone;
}

bool run_ray_winding(const WindingBatch& b, int64_t threads) {
  std::atomic<bool> out_of_memory{false};
  const double g = 8.0 * b.epsilon;
  auto block = [&](int64_t index) {
    // A zero component gives an infinite reciprocal; the slab test copes with it.
    const double r[3] = {1.0 / b.direction[0], 1.0 / b.direction[1], 1.0 / b.direction[2]};
    GrowableArray<int64_t> stack;  // freed when the block ends
    const int64_t end = std::min(index * kBlock + kBlock, b.point_count);
    for (int64_t i = index * kBlock; i < end; ++i) {
      const Verdict v = wind_point(b, b.points + 3 * i, r, g, stack);
      // Nothing is stored when even the first stack could not be had.
      if (v.out_of_memory && stack.data() == nullptr) {
        out_of_memory.store(true, std::memory_order_relaxed);
        return;
      }
      b.crossings[i] = v.count;
      b.ambiguous[i] = v.ambiguous ? 1 : 0;
      if (v.out_of_memory) {
        out_of_memory.store(true, std::memory_order_relaxed);
        return;
      }
    }
  };
  for_each_item((b.point_count + kBlock - 1) / kBlock, threads, block);
  return !out_of_memory.load(std::memory_order_relaxed);
}

}  // namespace zet
