#include "rays/ray_tree_hits.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "rays/crossing_rule.h"
#include "rays/leaf_blocks.h"
#include "rays/wide_tree.h"
#include "rays/wide_walk.h"
#include "runtime/float_order.h"
#include "runtime/raw_array.h"
#include "runtime/vec3.h"

namespace zet {
namespace {

// Whether the ray enters the node's box widened by epsilon on every side, slab by slab.
// An axis along which the ray does not move is a containment test: the slab is the whole
// line or nothing. t_near is the largest entry, t_far the smallest exit.
bool enters_box(const double* box_min, const double* box_max, const double origin[3],
                const double direction[3], const double inverse[3], double epsilon, double length) {
  double t_near = -std::numeric_limits<double>::infinity();
  double t_far = std::numeric_limits<double>::infinity();
  for (int a = 0; a < 3; ++a) {
    const double lo = box_min[a] - epsilon, hi = box_max[a] + epsilon;
    if (direction[a] == 0.0) {
      if (!(lo <= origin[a] && origin[a] <= hi)) return false;
      continue;
    }
    const double t1 = (lo - origin[a]) * inverse[a], t2 = (hi - origin[a]) * inverse[a];
    t_near = max_as_written(t_near, min_as_written(t1, t2));
    t_far = min_as_written(t_far, max_as_written(t1, t2));
  }
  return t_far >= max_as_written(t_near, 0.0) && t_near <= epsilon + length;
}

// The edge-vector ray/triangle test on corners a, b, c in the order of the triangle's row,
// in two parts: what depends on the direction only, then what depends on the origin. A ray
// parallel to the plane never hits, and the barycentric bounds allow some slack (both in
// rays/crossing_rule.h).
bool crosses(Vec3 a, Vec3 b, Vec3 c, Vec3 origin, Vec3 direction, double epsilon, double length,
             double* depth) {
  PreparedTriangle prepared;
  return prepare_triangle(a, b, c, direction, &prepared) &&
         prepared_crossing(prepared, origin, direction, epsilon, length, depth);
}

}  // namespace

bool prepare_triangle(Vec3 a, Vec3 b, Vec3 c, Vec3 direction, PreparedTriangle* out) {
  const Vec3 e1 = sub(b, a), e2 = sub(c, a);
  const Vec3 p = cross(direction, e2);
  const double det = dot(e1, p);
  if (std::fabs(det) <= norm(e1) * norm(e2) * kHitParallelRatio) return false;
  *out = {a, e1, e2, p, 1.0 / det};
  return true;
}

bool prepared_crossing(const PreparedTriangle& tri, Vec3 origin, Vec3 direction, double epsilon,
                       double length, double* depth) {
  const Vec3 s = sub(origin, tri.a);
  const double u = dot(s, tri.p) * tri.inv_det;
  if (!(u >= -kHitBarycentricSlack)) return false;
  const Vec3 q = cross(s, tri.e1);
  const double v = dot(direction, q) * tri.inv_det;
  if (!(v >= -kHitBarycentricSlack && u + v <= kHitBarycentricSum)) return false;
  const double t = dot(tri.e2, q) * tri.inv_det;
  if (!(t > epsilon && t <= epsilon + length)) return false;
  *depth = t;
  return true;
}

void inverse_direction(const double direction[3], double inverse[3]) {
  for (int a = 0; a < 3; ++a) inverse[a] = direction[a] == 0.0 ? 1.0 : 1.0 / direction[a];
}

void trace_ray(const RayTree& tree, const double origin[3], const double direction[3],
               const double inverse[3], double epsilon, double length, int64_t ray,
               GrowableArray<RayHit>& hits, GrowableArray<uint32_t>& stack, bool& out_of_memory) {
  if (tree.k == 0) return;
  const Vec3 o = load(origin), d = load(direction);
  stack.clear();
  if (!stack.push_back(0)) {
    out_of_memory = true;
    return;
  }
  while (!stack.empty()) {
    const int64_t node = stack.back();
    stack.pop_back();
    if (!enters_box(tree.node_min + 3 * node, tree.node_max + 3 * node, origin, direction, inverse,
                    epsilon, length))
      continue;
    const int32_t* meta = tree.node_meta + 5 * node;
    if (meta[0] >= 0) {
      // Right pushed first so that the left subtree is searched first.
      if (!stack.push_back(static_cast<uint32_t>(meta[1])) ||
          !stack.push_back(static_cast<uint32_t>(meta[0]))) {
        out_of_memory = true;
        return;
      }
      continue;
    }
    const int64_t end = int64_t{meta[2]} + meta[3];
    for (int64_t position = meta[2]; position < end; ++position) {
      const uint32_t t = tree.order[position];
      if (tree.usable[t] == 0) continue;
      const uint32_t* corners = tree.triangles + 3 * int64_t{t};
      double depth;
      if (!crosses(load(tree.vertices + 3 * int64_t{corners[0]}),
                   load(tree.vertices + 3 * int64_t{corners[1]}),
                   load(tree.vertices + 3 * int64_t{corners[2]}), o, d, epsilon, length, &depth))
        continue;
      if (!hits.push_back({ray, int64_t{t}, depth})) {
        out_of_memory = true;
        return;
      }
    }
  }
}

// The collapse and the prepared triangles cost about as much as walking a tenth as many
// rays as the tree has nodes; fewer rays walk the binary tree.
constexpr int64_t kRaysPerNodeToCollapse = 8;

void run_ray_tree_hits(const RayTreeHitsParams& p, CancelPoller& poller,
                       RayTreeHitsResult& result) {
  // The callable is asked before the first ray, whatever the interval.
  poller.interval = p.cancel_interval;
  poller.next_check = 0;
  if (p.tree.k == 0) return;
  double inverse[3];
  inverse_direction(p.direction, inverse);
  // The collapsed tree when the direction allows it (and memory suffices); rays that are
  // not finite, or all rays otherwise, walk the binary tree.
  WideTree wide;
  LazyLeaves leaves;
  LeafLayout layout;
  RawArray<int32_t> first_block;  // per leaf node, for the collapse
  const bool collapsed =
      wide_ray_tracer() != nullptr && p.ray_count >= p.tree.k / kRaysPerNodeToCollapse &&
      p.ray_count > 0 && wide_ray_direction(inverse) && layout.add(p.tree, first_block) >= 0 &&
      reserve_lazy_leaves(leaves, layout.spans(), layout.count()) &&
      // The tree serves this direction only: its planes can face it.
      collapse_faced_ray_tree(p.tree, first_block.get(), p.epsilon, p.direction, inverse, wide);
  if (collapsed) {
    // A cancellation stops the run before a ray; the rays before it are traced in full.
    // Triangles are prepared for the direction as their leaves are first reached.
    const LeafSource source{&p.tree, &leaves, 0};
    WideRayBatch batch(p.tree, wide, source, p.direction, inverse, p.epsilon, p.length,
                       result.hits);
    for (int64_t i = 0; i < p.ray_count; ++i) {
      if (poller.poll_work(1)) break;
      if (!batch.add(p.origins + 3 * i, i)) {
        result.out_of_memory = true;
        break;
      }
    }
    if (!result.out_of_memory && !batch.flush()) result.out_of_memory = true;
    result.cancelled = poller.cancelled;
    return;
  }
  GrowableArray<uint32_t> stack;  // one stack serves every ray
  for (int64_t i = 0; i < p.ray_count; ++i) {
    if (result.out_of_memory || poller.poll_work(1)) break;
    trace_ray(p.tree, p.origins + 3 * i, p.direction, inverse, p.epsilon, p.length, i, result.hits,
              stack, result.out_of_memory);
  }
  result.cancelled = poller.cancelled;
}

}  // namespace zet
