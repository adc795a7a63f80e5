// The lane walk behind winding_packets.h, compiled once per lane width (see runtime/lanes.h).
// The triangle set-up below repeats the scalar classifier's formulas in full instead of calling
// shared inline helpers: a helper emitted from a file built for a wider instruction set could
// be the copy the linker keeps for all.
#include <cmath>
#include <cstdint>

#include "rays/crossing_rule.h"
#include "rays/ray_winding.h"
#include "rays/winding_packets.h"
#include "runtime/lanes.h"
#include "runtime/raw_memory.h"

namespace zet {
namespace {

struct WindingLanes {
  // A node to visit and the lanes whose rays reached it.
  struct Entry {
    int64_t node;
    unsigned lanes;
  };

  // The walk's stack, from the raw allocator: 64 entries at first, doubling when full.
  struct Stack {
    void* memory = nullptr;
    size_t capacity = 0;
    ~Stack() { raw_free(memory); }
    bool hold(size_t count) { return hold_raw(memory, capacity, count, sizeof(Entry)); }
    Entry* entries() { return static_cast<Entry*>(memory); }
  };

  struct Packet {
    Real p[3];           // the points, lane by lane
    Mask count;          // signed crossings so far
    unsigned ambiguous;  // lanes that met an ambiguity
  };

  // The lanes whose rays reach node n's box grown by g: the scalar slab test lane by lane.
  static unsigned reaching(const WindingTree& tree, int64_t n, const Packet& k, const double r[3],
                           double g) {
    const double* lo = tree.node_min + 3 * n;
    const double* hi = tree.node_max + 3 * n;
    Real near{}, far = splat(INFINITY);
    Mask ordered = Mask{} - 1;
    for (int a = 0; a < 3; ++a) {
      const Real t1 = (splat(lo[a] - g) - k.p[a]) * r[a];
      const Real t2 = (splat(hi[a] + g) - k.p[a]) * r[a];
      ordered &= (t1 == t1) & (t2 == t2);
      const Real entry = t1 < t2 ? t1 : t2, exit = t1 < t2 ? t2 : t1;
      near = entry > near ? entry : near;
      far = exit < far ? exit : far;
    }
    return lane_bits(ordered & (far >= near));
  }

  // classify_crossing of one triangle for the given lanes; returns the lanes still walking.
  static unsigned classify(const WindingBatch& b, const double* c, unsigned lanes, Packet& k) {
    const double* d = b.direction;
    const double e1[3] = {c[3] - c[0], c[4] - c[1], c[5] - c[2]};
    const double e2[3] = {c[6] - c[0], c[7] - c[1], c[8] - c[2]};
    const double q[3] = {d[1] * e2[2] - d[2] * e2[1], d[2] * e2[0] - d[0] * e2[2],
                         d[0] * e2[1] - d[1] * e2[0]};
    const double det = e1[0] * q[0] + e1[1] * q[1] + e1[2] * q[2];
    const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                         e1[0] * e2[1] - e1[1] * e2[0]};
    if (std::fabs(det) <= kCrossingParallel * std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2])) {
      k.ambiguous |= lanes;
      return 0;
    }
    const double inv_det = 1.0 / det;
    const Real sx = k.p[0] - c[0], sy = k.p[1] - c[1], sz = k.p[2] - c[2];
    const Real u = (sx * q[0] + sy * q[1] + sz * q[2]) * inv_det;
    const Real wx = sy * e1[2] - sz * e1[1], wy = sz * e1[0] - sx * e1[2],
               wz = sx * e1[1] - sy * e1[0];
    const Real v = (d[0] * wx + d[1] * wy + d[2] * wz) * inv_det;
    const Real t = (e2[0] * wx + e2[1] * wy + e2[2] * wz) * inv_det;
    const Real rest = 1.0 - u - v;
    const Real uv = u < v ? u : v;
    const Real m = uv < rest ? uv : rest;
    const Mask ordered = rest == rest;
    const Mask clean = ordered & (m > kCrossingEdge) & (t > b.origin_tolerance);
    const Mask doubtful = ordered & (m >= -kCrossingEdge) & (t >= -b.origin_tolerance) & ~clean;
    k.count += clean & mask_of(lanes) & (Mask{} + (det > 0.0 ? 1 : -1));
    const unsigned stopped = lane_bits(doubtful) & lanes;
    k.ambiguous |= stopped;
    return lanes & ~stopped;
  }

  // One packet's walk in progress: its points, where their results go, and its own stack.
  struct Walker {
    Packet k;
    int64_t index[kLanes];
    int live_count;  // 0: idle
    Stack stack;
    size_t top;
  };

  // Takes the next up to kLanes points of order[next, end) into w and starts its walk at the
  // root. Returns false when the stack could not be had.
  static bool start(const WindingBatch& b, const uint32_t* order, int64_t& next, int64_t end,
                    const double r[3], double g, Walker& w) {
    w.live_count = static_cast<int>(end - next < kLanes ? end - next : kLanes);
    w.k = Packet{};
    for (int l = 0; l < kLanes; ++l) {
      const int64_t at = next + (l < w.live_count ? l : w.live_count - 1);
      w.index[l] = order != nullptr ? order[at] : at;
      for (int a = 0; a < 3; ++a) w.k.p[a][l] = b.points[3 * w.index[l] + a];
    }
    next += w.live_count;
    if (!w.stack.hold(1)) return false;
    w.top = 0;
    const unsigned root = reaching(b.tree, 0, w.k, r, g) & ((1u << w.live_count) - 1);
    w.stack.entries()[w.top] = {0, root};
    w.top += root != 0;
    return true;
  }

  static void finish(const WindingBatch& b, Walker& w) {
    for (int l = 0; l < w.live_count; ++l) {
      b.crossings[w.index[l]] = w.k.count[l];
      b.ambiguous[w.index[l]] = (w.k.ambiguous >> l) & 1;
    }
    w.live_count = 0;
  }

  // One node off the walker's stack: a reached internal node pushes the children its lanes
  // reach (right first, so the left one comes off first), a reached leaf classifies its
  // triangles. False when the stack could not grow.
  static bool step(const WindingBatch& b, const double r[3], double g, Walker& w) {
    const WindingTree& tree = b.tree;
    const Entry e = w.stack.entries()[--w.top];
    unsigned lanes = e.lanes & ~w.k.ambiguous;
    if (lanes == 0) return true;
    if (tree.is_leaf[e.node] == 0) {
      if (!w.stack.hold(w.top + 2)) return false;
      const int64_t left = tree.child_left[e.node], right = tree.child_right[e.node];
      const unsigned right_lanes = reaching(tree, right, w.k, r, g) & lanes;
      const unsigned left_lanes = reaching(tree, left, w.k, r, g) & lanes;
      w.stack.entries()[w.top] = {right, right_lanes};
      w.top += right_lanes != 0;
      w.stack.entries()[w.top] = {left, left_lanes};
      w.top += left_lanes != 0;
      return true;
    }
    const int64_t* row = tree.leaf_table + e.node * tree.leaf_width;
    for (int64_t c = 0; c < tree.leaf_width && lanes != 0; ++c) {
      const int64_t j = row[c];
      if (j < 0 || tree.usable[j] == 0) continue;
      lanes = classify(b, tree.triangle_vertices + 9 * j, lanes, w.k);
    }
    return true;
  }

  // Points order[begin, end) in packets of kLanes, two packets walking side by side: each walk
  // is a chain of dependent loads and tests, and two independent chains keep the processor
  // busy while one waits. False when a stack could not get memory.
  static bool points(const WindingBatch& b, const uint32_t* order, int64_t begin, int64_t end) {
    // A zero component gives an infinite reciprocal; the slab test copes with it.
    const double r[3] = {1.0 / b.direction[0], 1.0 / b.direction[1], 1.0 / b.direction[2]};
    const double g = 8.0 * b.epsilon;
    constexpr int kWalkers = 3;
    Walker walkers[kWalkers];
    int64_t next = begin;
    for (Walker& w : walkers) {
      w.live_count = 0;
      w.top = 0;
      if (next < end && !start(b, order, next, end, r, g, w)) return false;
    }
    for (;;) {
      bool busy = false;
      for (Walker& w : walkers) {
        if (w.live_count == 0) continue;
        busy = true;
        if (w.top > 0) {
          if (!step(b, r, g, w)) return false;
          continue;
        }
        finish(b, w);
        if (next < end && !start(b, order, next, end, r, g, w)) return false;
      }
      if (!busy) return true;
    }
  }
};

}  // namespace
}  // namespace zet

namespace zet {

bool ZET_LANE_ENTRY(wind_points)(const WindingBatch& batch, const uint32_t* order, int64_t begin,
                                 int64_t end) {
  return WindingLanes::points(batch, order, begin, end);
}

}  // namespace zet
