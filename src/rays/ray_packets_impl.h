// The lane tracer behind ray_packets.h, included only by the files compiled for one
// instruction set each (see runtime/lanes.h). The triangle set-up repeats trace_ray's
// formulas in full instead of calling shared inline helpers: a helper emitted from a file
// built for a wider instruction set could be the copy the linker keeps for all.
#pragma once
#include <cmath>
#include <cstdint>

#include "rays/ray_packets.h"
#include "runtime/lanes.h"

namespace zet {
namespace {

struct RayLanes {

  struct Entry {
    uint32_t node;
    unsigned lanes;
  };

  struct Rays {
    Real o[3];  // origins, lane by lane
    const double* d;
    const double* inverse;
    double epsilon, reach;  // reach = epsilon + length
  };

  // One packet's walk in progress.
  struct Walker {
    Rays r;
    int64_t rays[kLanes];
    int count;  // 0: idle
    void** stack;
    size_t* capacity;
    size_t top;
    HitList* lanes;
  };

  // Room for `count` entries on a walker's stack: 64 at first, doubling.
  static bool hold(Walker& w, size_t count) {
    return hold_raw(*w.stack, *w.capacity, count, sizeof(Entry));
  }

  static bool append(HitList& list, const RayHit& hit) {
    void* memory = list.hits;
    if (!hold_raw(memory, list.capacity, list.size + 1, sizeof(RayHit))) return false;
    list.hits = static_cast<RayHit*>(memory);
    list.hits[list.size++] = hit;
    return true;
  }

  // The lanes whose rays enter the node's box widened by epsilon: trace_ray's slab test.
  static unsigned entering(const RayTree& tree, uint32_t node, const Rays& r) {
    const double* box_min = tree.node_min + 3 * int64_t{node};
    const double* box_max = tree.node_max + 3 * int64_t{node};
    Real t_near = splat(-INFINITY), t_far = splat(INFINITY);
    Mask inside = Mask{} - 1;
    for (int a = 0; a < 3; ++a) {
      const double lo = box_min[a] - r.epsilon, hi = box_max[a] + r.epsilon;
      if (r.d[a] == 0.0) {  // the same for every lane: a containment test
        inside &= (lo <= r.o[a]) & (r.o[a] <= hi);
        continue;
      }
      const Real t1 = (lo - r.o[a]) * r.inverse[a], t2 = (hi - r.o[a]) * r.inverse[a];
      const Real low = t1 < t2 ? t1 : t2, high = t1 > t2 ? t1 : t2;
      t_near = t_near > low ? t_near : low;
      t_far = t_far < high ? t_far : high;
    }
    const Real floor = t_near > 0.0 ? t_near : splat(0.0);
    return lane_bits(inside & (t_far >= floor) & (t_near <= r.reach));
  }

  // trace_ray's edge-vector test of one triangle for the given lanes; hits appended.
  static bool cross(const RayTree& tree, uint32_t t, unsigned lanes, Walker& w) {
    const Rays& r = w.r;
    const uint32_t* corners = tree.triangles + 3 * int64_t{t};
    const double* a = tree.vertices + 3 * int64_t{corners[0]};
    const double* b = tree.vertices + 3 * int64_t{corners[1]};
    const double* c = tree.vertices + 3 * int64_t{corners[2]};
    const double* d = r.d;
    const double e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double e2[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const double p[3] = {d[1] * e2[2] - d[2] * e2[1], d[2] * e2[0] - d[0] * e2[2],
                         d[0] * e2[1] - d[1] * e2[0]};
    const double det = e1[0] * p[0] + e1[1] * p[1] + e1[2] * p[2];
    const double n1 = std::sqrt(e1[0] * e1[0] + e1[1] * e1[1] + e1[2] * e1[2]);
    const double n2 = std::sqrt(e2[0] * e2[0] + e2[1] * e2[1] + e2[2] * e2[2]);
    if (std::fabs(det) <= n1 * n2 * 1e-12) return true;
    const double inv_det = 1.0 / det;
    const Real sx = r.o[0] - a[0], sy = r.o[1] - a[1], sz = r.o[2] - a[2];
    const Real u = (sx * p[0] + sy * p[1] + sz * p[2]) * inv_det;
    const Real qx = sy * e1[2] - sz * e1[1], qy = sz * e1[0] - sx * e1[2],
               qz = sx * e1[1] - sy * e1[0];
    const Real v = (d[0] * qx + d[1] * qy + d[2] * qz) * inv_det;
    const Real depth = (e2[0] * qx + e2[1] * qy + e2[2] * qz) * inv_det;
    unsigned hit = lane_bits((u >= -1e-9) & (v >= -1e-9) & (u + v <= 1.000000001) &
                        (depth > r.epsilon) & (depth <= r.reach)) &
                   lanes;
    while (hit != 0) {
      const int l = __builtin_ctz(hit);
      hit &= hit - 1;
      if (!append(w.lanes[l], {w.rays[l], int64_t{t}, depth[l]})) return false;
    }
    return true;
  }

  // Loads the next rays into an idle walker and puts the root on its stack.
  static bool start(const RayTree& tree, const double* origins, const int64_t* rays, int64_t n,
                    int64_t& next, Walker& w) {
    w.count = static_cast<int>(n - next < kLanes ? n - next : kLanes);
    for (int l = 0; l < kLanes; ++l) {
      const int64_t at = next + (l < w.count ? l : w.count - 1);
      w.rays[l] = rays != nullptr ? rays[at] : at;
      for (int a = 0; a < 3; ++a) w.r.o[a][l] = origins[3 * w.rays[l] + a];
    }
    next += w.count;
    for (int l = 0; l < kLanes; ++l) w.lanes[l].size = 0;
    if (!hold(w, 1)) return false;
    static_cast<Entry*>(*w.stack)[0] = {0, (1u << w.count) - 1};
    w.top = tree.k > 0 ? 1 : 0;
    return true;
  }

  // One node off the walker's stack.
  static bool step(const RayTree& tree, Walker& w) {
    Entry* stack = static_cast<Entry*>(*w.stack);
    const Entry e = stack[--w.top];
    const unsigned lanes = entering(tree, e.node, w.r) & e.lanes;
    if (lanes == 0) return true;
    const int32_t* meta = tree.node_meta + 5 * int64_t{e.node};
    if (meta[0] >= 0) {
      if (!hold(w, w.top + 2)) return false;
      stack = static_cast<Entry*>(*w.stack);
      stack[w.top++] = {static_cast<uint32_t>(meta[1]), lanes};
      stack[w.top++] = {static_cast<uint32_t>(meta[0]), lanes};
      return true;
    }
    const int64_t end = int64_t{meta[2]} + meta[3];
    for (int64_t position = meta[2]; position < end; ++position) {
      const uint32_t t = tree.order[position];
      if (tree.usable[t] == 0) continue;
      if (!cross(tree, t, lanes, w)) return false;
    }
    return true;
  }

  // A finished packet's hits, ray by ray, onto the collected list.
  static bool finish(Walker& w, HitList& collected) {
    for (int l = 0; l < w.count; ++l)
      for (size_t h = 0; h < w.lanes[l].size; ++h)
        if (!append(collected, w.lanes[l].hits[h])) return false;
    w.count = 0;
    return true;
  }

  static bool trace(const RayTree& tree, const double* origins, const int64_t* rays, int64_t n,
                    const double direction[3], const double inverse[3], double epsilon,
                    double length, RayPacketScratch& s) {
    Walker walkers[kRayWalkers];
    for (int k = 0; k < kRayWalkers; ++k) {
      Walker& w = walkers[k];
      w.r.d = direction;
      w.r.inverse = inverse;
      w.r.epsilon = epsilon;
      w.r.reach = epsilon + length;
      w.count = 0;
      w.top = 0;
      w.stack = &s.stacks[k];
      w.capacity = &s.stack_capacities[k];
      w.lanes = s.lanes[k];
    }
    s.collected.size = 0;
    int64_t next = 0;
    for (Walker& w : walkers)
      if (next < n && !start(tree, origins, rays, n, next, w)) return false;
    for (;;) {
      bool busy = false;
      for (Walker& w : walkers) {
        if (w.count == 0) continue;
        busy = true;
        if (w.top > 0) {
          if (!step(tree, w)) return false;
          continue;
        }
        if (!finish(w, s.collected)) return false;
        if (next < n && !start(tree, origins, rays, n, next, w)) return false;
      }
      if (!busy) return true;
    }
  }
};

}  // namespace
}  // namespace zet
