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
// the binary walk's depth-first order. The stack must have room for kWideSlots more.
inline size_t push_slots(const WideNode& node, unsigned slots, WideEntry* stack, size_t top) {
  while (slots != 0) {
    const int i = 31 - __builtin_clz(slots);
    slots &= ~(1u << i);
    stack[top++] = {node.ref[i], node.count[i]};
  }
  return top;
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

struct WideWalks {
  static bool trace(const RayTree& tree, const WideTree& wide, const double origin[3],
                    const double direction[3], const double inverse[3], double epsilon,
                    double length, int64_t ray, GrowableArray<RayHit>& hits,
                    WideStack& stack) {
    const double reach = epsilon + length;
    if (!room(stack, 0)) return false;
    size_t top = 0;
    stack.entries[top++] = {0, -1};
    while (top > 0) {
      const WideEntry e = stack.entries[--top];
      if (e.count < 0) {
        const WideNode& node = wide.nodes()[e.ref];
        const unsigned slots = entered_slots(node, origin, direction, inverse, reach);
        if (!room(stack, top)) return false;
        top = push_slots(node, slots, stack.entries, top);
        continue;
      }
      const int64_t end = int64_t{e.ref} + e.count;
      for (int64_t position = e.ref; position < end; ++position) {
        const uint32_t t = tree.order[position];
        if (tree.usable[t] == 0) continue;
        double depth;
        if (!ray_crosses_triangle(tree, t, origin, direction, epsilon, length, &depth)) continue;
        if (!append_ray_hit(hits, {ray, int64_t{t}, depth})) return false;
      }
    }
    return true;
  }

  // One finite point's walk; stops at its first ambiguity with the count reached.
  static bool wind(const WindingBatch& b, const WideTree& wide, const double p[3],
                   const double r[3], WideStack& stack, int64_t& count,
                   bool& ambiguous) {
    const WindingTree& tree = b.tree;
    count = 0;
    ambiguous = false;
    if (!room(stack, 0)) return false;
    size_t top = 0;
    stack.entries[top++] = {0, -1};
    while (top > 0 && !ambiguous) {
      const WideEntry e = stack.entries[--top];
      if (e.count < 0) {
        const WideNode& node = wide.nodes()[e.ref];
        const unsigned slots = reached_slots(node, p, r);
        if (!room(stack, top)) return false;
        top = push_slots(node, slots, stack.entries, top);
        continue;
      }
      const int64_t* row = tree.leaf_table + int64_t{e.ref} * tree.leaf_width;
      for (int64_t c = 0; c < tree.leaf_width && !ambiguous; ++c) {
        const int64_t j = row[c];
        if (j < 0 || tree.usable[j] == 0) continue;
        switch (classify_crossing(p, b.direction, tree.triangle_vertices + 9 * j,
                                  b.origin_tolerance)) {
          case Crossing::kAgainstNormal: count += 1; break;
          case Crossing::kAlongNormal: count -= 1; break;
          case Crossing::kAmbiguous: ambiguous = true; break;
          case Crossing::kNone: break;
        }
      }
    }
    return true;
  }

  static bool points(const WindingBatch& b, const WideTree& wide, const uint32_t* order,
                     int64_t begin, int64_t end) {
    // The reciprocal of winding_points_one_by_one; the caller made sure it is finite.
    const double r[3] = {1.0 / b.direction[0], 1.0 / b.direction[1], 1.0 / b.direction[2]};
    WideStack stack;
    bool done = true;
    for (int64_t at = begin; at < end; ++at) {
      const int64_t i = order != nullptr ? order[at] : at;
      const double* p = b.points + 3 * i;
      int64_t count;
      bool ambiguous;
      done = finite_point(p) ? wind(b, wide, p, r, stack, count, ambiguous)
                             : wind_binary(b, p, count, ambiguous);
      if (!done) break;
      b.crossings[i] = count;
      b.ambiguous[i] = ambiguous ? 1 : 0;
    }
    raw_free(stack.entries);
    return done;
  }
};

}  // namespace
}  // namespace zet
