// The walks behind wide_walk.h, included by wide_walk.cpp (a loop over the slots) and by
// wide_walk_avx2.cpp (ZET_LANES 4: the slots in one vector). Everything has internal
// linkage, so the two builds never merge (see runtime/lanes.h); the triangle tests are the
// shared out-of-line functions of the binary walks.
#pragma once
#include <cmath>
#include <cstdint>

#include "rays/wide_walk.h"
#include "runtime/raw_memory.h"
#if defined(ZET_LANES)
#include "runtime/lanes.h"
#endif

namespace zet {
namespace {

#if defined(ZET_LANES)
static_assert(ZET_LANES == kWideSlots, "one lane per slot");

inline Real slot_row(const double* row) {
  Real v;
  __builtin_memcpy(&v, row, sizeof v);
  return v;
}

// The slots whose boxes (grown by epsilon) the ray enters: enters_box of ray_tree_hits.cpp,
// lane by lane.
inline unsigned entered_slots(const WideNode& node, const double o[3], const double d[3],
                              const double inverse[3], double reach) {
  Real t_near = splat(-INFINITY), t_far = splat(INFINITY);
  Mask inside = Mask{} - 1;
  for (int a = 0; a < 3; ++a) {
    const Real lo = slot_row(node.lo[a]), hi = slot_row(node.hi[a]);
    if (d[a] == 0.0) {
      inside &= (lo <= o[a]) & (o[a] <= hi);
      continue;
    }
    const Real t1 = (lo - o[a]) * inverse[a], t2 = (hi - o[a]) * inverse[a];
    const Real low = t1 < t2 ? t1 : t2, high = t1 > t2 ? t1 : t2;
    t_near = t_near > low ? t_near : low;
    t_far = t_far < high ? t_far : high;
  }
  const Real floor = t_near > 0.0 ? t_near : splat(0.0);
  return lane_bits(inside & (t_far >= floor) & (t_near <= reach)) & ((1u << node.slots) - 1);
}

// The slots whose boxes (grown by 8 epsilon) the ray from p reaches: reaches_box of
// ray_winding.cpp, lane by lane.
inline unsigned reached_slots(const WideNode& node, const double p[3], const double r[3]) {
  Real near{}, far = splat(INFINITY);
  Mask ordered = Mask{} - 1;
  for (int a = 0; a < 3; ++a) {
    const Real t1 = (slot_row(node.lo[a]) - p[a]) * r[a];
    const Real t2 = (slot_row(node.hi[a]) - p[a]) * r[a];
    ordered &= (t1 == t1) & (t2 == t2);
    const Real entry = t1 < t2 ? t1 : t2, exit = t1 < t2 ? t2 : t1;
    near = entry > near ? entry : near;
    far = exit < far ? exit : far;
  }
  return lane_bits(ordered & (far >= near)) & ((1u << node.slots) - 1);
}

#else

inline unsigned entered_slots(const WideNode& node, const double o[3], const double d[3],
                              const double inverse[3], double reach) {
  unsigned entered = 0;
  for (int i = 0; i < node.slots; ++i) {
    double t_near = -INFINITY, t_far = INFINITY;
    bool inside = true;
    for (int a = 0; a < 3; ++a) {
      const double lo = node.lo[a][i], hi = node.hi[a][i];
      if (d[a] == 0.0) {
        inside = inside && lo <= o[a] && o[a] <= hi;
        continue;
      }
      const double t1 = (lo - o[a]) * inverse[a], t2 = (hi - o[a]) * inverse[a];
      const double low = t1 < t2 ? t1 : t2, high = t1 > t2 ? t1 : t2;
      t_near = t_near > low ? t_near : low;
      t_far = t_far < high ? t_far : high;
    }
    const double floor = t_near > 0.0 ? t_near : 0.0;
    entered |= unsigned(inside && t_far >= floor && t_near <= reach) << i;
  }
  return entered;
}

inline unsigned reached_slots(const WideNode& node, const double p[3], const double r[3]) {
  unsigned reached = 0;
  for (int i = 0; i < node.slots; ++i) {
    double near = 0.0, far = INFINITY;
    bool ordered = true;
    for (int a = 0; a < 3; ++a) {
      const double t1 = (node.lo[a][i] - p[a]) * r[a];
      const double t2 = (node.hi[a][i] - p[a]) * r[a];
      ordered &= (t1 == t1) & (t2 == t2);
      const double entry = t1 < t2 ? t1 : t2, exit = t1 < t2 ? t2 : t1;
      near = entry > near ? entry : near;
      far = exit < far ? exit : far;
    }
    reached |= unsigned(ordered & (far >= near)) << i;
  }
  return reached;
}

#endif

// Pushes the given slots of a node, the last first, so that they come off in slot order:
// the binary walk's depth-first order. Every slot is written and the top advances by the
// test results, as the outcomes are unpredictable and branches on them would mostly
// mispredict. The stack must have room for kWideSlots more.
inline size_t push_slots(const WideNode& node, unsigned slots, WideEntry* stack, size_t top) {
  for (int i = kWideSlots - 1; i >= 0; --i) {
    stack[top] = {node.ref[i], node.count[i]};
    top += (slots >> i) & 1;
  }
  return top;
}

// prepared_crossing of ray_tree_hits.cpp, its formulas repeated here: a shared inline
// helper emitted from a vector build could be the copy the linker keeps for all.
inline bool leaf_crossing(const PreparedTriangle& tri, const double o[3], const double d[3],
                          double epsilon, double length, double* depth) {
  const double sx = o[0] - tri.a.x, sy = o[1] - tri.a.y, sz = o[2] - tri.a.z;
  const double u = (sx * tri.p.x + sy * tri.p.y + sz * tri.p.z) * tri.inv_det;
  if (!(u >= -1e-9)) return false;
  const double qx = sy * tri.e1.z - sz * tri.e1.y, qy = sz * tri.e1.x - sx * tri.e1.z,
               qz = sx * tri.e1.y - sy * tri.e1.x;
  const double v = (d[0] * qx + d[1] * qy + d[2] * qz) * tri.inv_det;
  if (!(v >= -1e-9 && u + v <= 1.000000001)) return false;
  const double t = (tri.e2.x * qx + tri.e2.y * qy + tri.e2.z * qz) * tri.inv_det;
  if (!(t > epsilon && t <= epsilon + length)) return false;
  *depth = t;
  return true;
}

// Room for kWideSlots more entries above top: 64 at first, doubling; false when memory
// cannot be had.
inline bool room(WideStack& stack, size_t top) {
  while (stack.capacity < top + kWideSlots) {
    const size_t grown = stack.capacity == 0 ? 64 : 2 * stack.capacity;
    void* moved = raw_realloc(stack.entries, grown * sizeof(WideEntry));
    if (moved == nullptr) return false;
    stack.entries = static_cast<WideEntry*>(moved);
    stack.capacity = grown;
  }
  return true;
}

inline bool append_hit(WideHits& list, const RayHit& hit) {
  if (list.size == list.capacity) {
    const size_t grown = list.capacity == 0 ? 64 : 2 * list.capacity;
    void* moved = raw_realloc(list.hits, grown * sizeof(RayHit));
    if (moved == nullptr) return false;
    list.hits = static_cast<RayHit*>(moved);
    list.capacity = grown;
  }
  list.hits[list.size++] = hit;
  return true;
}

// Several walks side by side, one step of each in turn: a walk is a chain of dependent
// loads and tests, and independent chains keep the processor busy while one waits.
struct WideWalks {
  static bool trace(const LeafTriangle* leaves, const WideTree& wide,
                    const double* const origins[], const int64_t rays[], int n,
                    const double direction[3], const double inverse[3], double epsilon,
                    double length, WideScratch& scratch) {
    const double reach = epsilon + length;
    size_t top[kWideWalkers];
    for (int i = 0; i < n; ++i) {
      scratch.hits[i].size = 0;
      if (!room(scratch.stacks[i], 0)) return false;
      scratch.stacks[i].entries[0] = {0, -1};
      top[i] = 1;
    }
    for (bool busy = true; busy;) {
      busy = false;
      for (int i = 0; i < n; ++i) {
        if (top[i] == 0) continue;
        busy = true;
        WideStack& stack = scratch.stacks[i];
        const WideEntry e = stack.entries[--top[i]];
        if (e.count < 0) {
          const WideNode& node = wide.nodes()[e.ref];
          const unsigned slots = entered_slots(node, origins[i], direction, inverse, reach);
          if (!room(stack, top[i])) return false;
          top[i] = push_slots(node, slots, stack.entries, top[i]);
          continue;
        }
        const int64_t end = int64_t{e.ref} + e.count;
        for (int64_t position = e.ref; position < end; ++position) {
          const LeafTriangle& leaf = leaves[position];
          if (!leaf.live) continue;
          double depth;
          if (!leaf_crossing(leaf.prepared, origins[i], direction, epsilon, length, &depth))
            continue;
          if (!append_hit(scratch.hits[i], {rays[i], int64_t{leaf.triangle}, depth})) return false;
        }
      }
    }
    return true;
  }

  // Finite points' walks; each stops at its first ambiguity with the count reached.
  static bool wind(const WindingBatch& b, const WideTree& wide, const WindingTriangle* triangles,
                   const double* const points[], int n, const double r[3], WideScratch& scratch,
                   int64_t count[], bool ambiguous[]) {
    const WindingTree& tree = b.tree;
    size_t top[kWideWalkers];
    for (int i = 0; i < n; ++i) {
      count[i] = 0;
      ambiguous[i] = false;
      if (!room(scratch.stacks[i], 0)) return false;
      scratch.stacks[i].entries[0] = {0, -1};
      top[i] = 1;
    }
    for (bool busy = true; busy;) {
      busy = false;
      for (int i = 0; i < n; ++i) {
        if (top[i] == 0) continue;
        busy = true;
        WideStack& stack = scratch.stacks[i];
        const WideEntry e = stack.entries[--top[i]];
        if (e.count < 0) {
          const WideNode& node = wide.nodes()[e.ref];
          const unsigned slots = reached_slots(node, points[i], r);
          if (!room(stack, top[i])) return false;
          top[i] = push_slots(node, slots, stack.entries, top[i]);
          continue;
        }
        const int64_t* row = tree.leaf_table + int64_t{e.ref} * tree.leaf_width;
        for (int64_t c = 0; c < tree.leaf_width; ++c) {
          const int64_t j = row[c];
          if (j < 0 || triangles[j].kind == WindingTriangle::kSkipped) continue;
          Crossing crossing = Crossing::kAmbiguous;
          if (triangles[j].kind == WindingTriangle::kCrossing)
            crossing = classify_prepared(points[i], b.direction, triangles[j].prepared,
                                         b.origin_tolerance);
          if (crossing == Crossing::kAgainstNormal) count[i] += 1;
          if (crossing == Crossing::kAlongNormal) count[i] -= 1;
          if (crossing == Crossing::kAmbiguous) {
            ambiguous[i] = true;
            top[i] = 0;  // the walk stops here
            break;
          }
        }
      }
    }
    return true;
  }

  static bool points(const WindingBatch& b, const WideTree& wide,
                     const WindingTriangle* triangles, const uint32_t* order, int64_t begin,
                     int64_t end) {
    // The reciprocal of wind_points_one_by_one; the caller made sure it is finite.
    const double r[3] = {1.0 / b.direction[0], 1.0 / b.direction[1], 1.0 / b.direction[2]};
    WideScratch scratch{};
    bool done = true;
    int64_t index[kWideWalkers];
    const double* group[kWideWalkers];
    int n = 0;
    auto flush = [&]() {
      int64_t count[kWideWalkers];
      bool ambiguous[kWideWalkers];
      if (!wind(b, wide, triangles, group, n, r, scratch, count, ambiguous)) return false;
      for (int i = 0; i < n; ++i) {
        b.crossings[index[i]] = count[i];
        b.ambiguous[index[i]] = ambiguous[i] ? 1 : 0;
      }
      n = 0;
      return true;
    };
    for (int64_t at = begin; at < end && done; ++at) {
      const int64_t i = order != nullptr ? order[at] : at;
      const double* p = b.points + 3 * i;
      if (!finite_point(p)) {
        int64_t count;
        bool ambiguous;
        done = wind_binary(b, p, count, ambiguous);
        b.crossings[i] = count;
        b.ambiguous[i] = ambiguous ? 1 : 0;
        continue;
      }
      index[n] = i;
      group[n++] = p;
      if (n == kWideWalkers) done = flush();
    }
    if (done && n > 0) done = flush();
    for (int i = 0; i < kWideWalkers; ++i) raw_free(scratch.stacks[i].entries);
    return done;
  }
};

}  // namespace
}  // namespace zet
