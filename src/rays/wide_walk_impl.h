// The walks behind wide_walk.h, included by wide_walk.cpp (a loop over the slots) and by
// wide_walk_lanes.cpp (ZET_LANES 4: the slots in one vector). Everything has internal
// linkage, so the two builds never merge (see runtime/lanes.h); the triangle tests are the
// shared out-of-line functions of the binary walks.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "rays/crossing_rule.h"
#include "rays/wide_walk.h"
#include "rays/winding_leaf_groups.h"
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

// a < b ? a : b and a > b ? a : b, lane by lane, in one instruction each: MINPD and MAXPD
// return their second operand unless the first is less (greater), NaN and zeros of either
// sign included, which is exactly that choice.
inline Real less_of(const Real& a, const Real& b) {
  return Real(_mm256_min_pd(__m256d(a), __m256d(b)));
}
inline Real greater_of(const Real& a, const Real& b) {
  return Real(_mm256_max_pd(__m256d(a), __m256d(b)));
}

// The slots whose boxes (grown by epsilon) the ray enters: enters_box of ray_tree_hits.cpp,
// lane by lane; on a faced tree (collapse_faced_ray_tree: the rays move along every axis) the
// slab's entry and exit are the ends from lo and hi.
template <bool kFaced>
inline unsigned entered_slots(const WideNode& node, const double o[3], const double d[3],
                              const double inverse[3], double reach) {
  Real t_near = splat(-INFINITY), t_far = splat(INFINITY);
  Mask inside = Mask{} - 1;
  for (int a = 0; a < 3; ++a) {
    const Real lo = slot_row(node.lo[a]), hi = slot_row(node.hi[a]);
    if (!kFaced && d[a] == 0.0) {
      inside &= (lo <= o[a]) & (o[a] <= hi);
      continue;
    }
    const Real t1 = (lo - o[a]) * inverse[a], t2 = (hi - o[a]) * inverse[a];
    if (kFaced) {
      t_near = greater_of(t_near, t1);
      t_far = less_of(t_far, t2);
      continue;
    }
    // low = t1 < t2 ? t1 : t2, high = t1 > t2 ? t1 : t2
    const Real low = less_of(t1, t2), high = greater_of(t1, t2);
    t_near = greater_of(t_near, low);
    t_far = less_of(t_far, high);
  }
  const Real floor = greater_of(t_near, splat(0.0));
  return lane_bits(inside & (t_far >= floor) & (t_near <= reach)) & node.open;
}

// The slots whose boxes (grown by 8 epsilon) the ray from p reaches: reaches_box of
// ray_winding.cpp, lane by lane, on a tree faced to the direction (collapse_winding_tree):
// the slab's entry and exit are the ends from lo and hi. With p finite and r finite and not
// 0, a slab end is NaN only for a NaN box corner, and those slots are closed: the NaN test is
// not needed.
inline unsigned reached_slots(const WideNode& node, const double p[3], const double r[3]) {
  Real near{}, far = splat(INFINITY);
  for (int a = 0; a < 3; ++a) {
    const Real entry = (slot_row(node.lo[a]) - p[a]) * r[a];
    const Real exit = (slot_row(node.hi[a]) - p[a]) * r[a];
    near = greater_of(entry, near);
    far = less_of(exit, far);
  }
  return lane_bits(far >= near) & node.open;
}

// The slots each ray of a packet enters, a byte per ray (bit s: slot s), turned into a set
// of rays per slot (bit i: ray i): shifted left by 7 - s within each 64-bit lane, bit s of a
// byte becomes its top bit, and one instruction gathers the top bits of 32 bytes.
static_assert(kPacketRays == 64, "a packet's rays in two vectors of bytes and one word");
struct SlotsByRay {
  alignas(32) uint8_t bytes[kPacketRays];
  void clear() {
    _mm256_store_si256(reinterpret_cast<__m256i*>(bytes), _mm256_setzero_si256());
    _mm256_store_si256(reinterpret_cast<__m256i*>(bytes + 32), _mm256_setzero_si256());
  }
  template <int s>
  uint64_t rays_in() const {
    const __m256i low = _mm256_load_si256(reinterpret_cast<const __m256i*>(bytes));
    const __m256i high = _mm256_load_si256(reinterpret_cast<const __m256i*>(bytes + 32));
    const uint32_t l = uint32_t(_mm256_movemask_epi8(_mm256_slli_epi64(low, 7 - s)));
    const uint32_t h = uint32_t(_mm256_movemask_epi8(_mm256_slli_epi64(high, 7 - s)));
    return uint64_t{h} << 32 | l;
  }
};

#else

inline unsigned reached_slots(const WideNode& node, const double p[3], const double r[3]) {
  unsigned reached = 0;
  for (int i = 0; i < node.slots; ++i) {
    double near = 0.0, far = INFINITY;
    for (int a = 0; a < 3; ++a) {
      const double entry = (node.lo[a][i] - p[a]) * r[a];
      const double exit = (node.hi[a][i] - p[a]) * r[a];
      near = entry > near ? entry : near;
      far = exit < far ? exit : far;
    }
    reached |= unsigned(far >= near) << i;
  }
  return reached & node.open;
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

// Room for kWideSlots more entries above top: 64 at first, doubling; false when memory
// cannot be had.
template <class Stack>
inline bool room(Stack& stack, size_t top) {
  using Entry = typename std::remove_pointer<decltype(stack.entries)>::type;
  while (stack.capacity < top + kWideSlots) {
    const size_t grown = stack.capacity == 0 ? 64 : 2 * stack.capacity;
    void* moved = raw_realloc(stack.entries, grown * sizeof(Entry));
    if (moved == nullptr) return false;
    stack.entries = static_cast<Entry*>(moved);
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

#if defined(ZET_LANES)
static_assert(kLanes == kBlockLanes, "one lane per position of a block");

// A leaf's blocks (their positions in spans) prepared for direction d: prepare_triangle of
// ray_tree_hits.cpp on the positions of a block at once, its formulas repeated lane by lane
// (sqrt and division are correctly rounded in both).
inline void prepare_leaf(const RayTree& tree, const double d[3], const BlockSpan* spans,
                         PreparedBlock* blocks, int count) {
  for (int b = 0; b < count; ++b) {
    PreparedBlock& block = blocks[b];
    const BlockSpan span = spans[b];
    // Corner, axis, lane; lanes past the leaf's end hold zeros, written there rather than
    // by clearing the whole array first (a string store per block).
    double corner[3][3][kLanes];
    unsigned usable = 0;
    for (int l = 0; l < kLanes; ++l) {
      if (l >= span.lanes) {
        block.triangle[l] = 0;
        for (int c = 0; c < 3; ++c)
          for (int a = 0; a < 3; ++a) corner[c][a][l] = 0.0;
        continue;
      }
      const uint32_t t = tree.order[span.first + l];
      block.triangle[l] = t;
      usable |= unsigned(tree.usable[t] != 0) << l;
      const uint32_t* corners = tree.triangles + 3 * int64_t{t};
      for (int c = 0; c < 3; ++c)
        for (int a = 0; a < 3; ++a) corner[c][a][l] = tree.vertices[3 * int64_t{corners[c]} + a];
    }
    const Real ax = slot_row(corner[0][0]), ay = slot_row(corner[0][1]),
               az = slot_row(corner[0][2]);
    const Real e1x = slot_row(corner[1][0]) - ax, e1y = slot_row(corner[1][1]) - ay,
               e1z = slot_row(corner[1][2]) - az;
    const Real e2x = slot_row(corner[2][0]) - ax, e2y = slot_row(corner[2][1]) - ay,
               e2z = slot_row(corner[2][2]) - az;
    const Real px = d[1] * e2z - d[2] * e2y, py = d[2] * e2x - d[0] * e2z,
               pz = d[0] * e2y - d[1] * e2x;
    const Real det = e1x * px + e1y * py + e1z * pz;
    const Real bound = lane_sqrt(e1x * e1x + e1y * e1y + e1z * e1z) *
                       lane_sqrt(e2x * e2x + e2y * e2y + e2z * e2z) * kHitParallelRatio;
    // Not parallel unless |det| <= bound: a NaN determinant is kept, as the scalar test keeps it.
    const unsigned live = lane_bits(~(lane_abs(det) <= bound)) & usable;
    const Mask keep = mask_of(live);
    const Real values[kFields] = {
        ax, ay, az, e1x, e1y, e1z, e2x, e2y, e2z, px, py, pz, splat(1.0) / det};
    for (int f = 0; f < kFields; ++f) {
      const Real kept = pick(keep, values[f], splat(0.0));
      __builtin_memcpy(block.field[f], &kept, sizeof kept);
    }
    block.live = live;
  }
}

// The crossings of one ray with the positions of a block, appended to list in position
// order: prepared_crossing of ray_tree_hits.cpp, its formulas repeated here (a shared inline
// helper emitted from a vector build could be the copy the linker keeps for all), lane by
// lane.
inline bool block_crossings(const PreparedBlock& block, const double o[3], const double d[3],
                            double epsilon, double reach, int64_t ray, WideHits& list) {
  const double (*f)[kBlockLanes] = block.field;
  const Real sx = o[0] - slot_row(f[kAx]), sy = o[1] - slot_row(f[kAy]),
             sz = o[2] - slot_row(f[kAz]);
  const Real inv_det = slot_row(f[kInvDet]);
  const Real u = (sx * slot_row(f[kPx]) + sy * slot_row(f[kPy]) + sz * slot_row(f[kPz])) * inv_det;
  const Real e1x = slot_row(f[kE1x]), e1y = slot_row(f[kE1y]), e1z = slot_row(f[kE1z]);
  const Real qx = sy * e1z - sz * e1y, qy = sz * e1x - sx * e1z, qz = sx * e1y - sy * e1x;
  const Real v = (d[0] * qx + d[1] * qy + d[2] * qz) * inv_det;
  const Real t =
      (slot_row(f[kE2x]) * qx + slot_row(f[kE2y]) * qy + slot_row(f[kE2z]) * qz) * inv_det;
  unsigned hit = lane_bits((u >= -kHitBarycentricSlack) & (v >= -kHitBarycentricSlack) &
                           (u + v <= kHitBarycentricSum) & (t > epsilon) & (t <= reach)) &
                 block.live;
  while (hit != 0) {
    const int l = __builtin_ctz(hit);
    hit &= hit - 1;
    if (!append_hit(list, {ray, int64_t{block.triangle[l]}, t[l]})) return false;
  }
  return true;
}

// classify_prepared_rule of one point against the four triangles of a group, lane by lane
// with its operations in its order; then the lanes in order, as the leaf_table walk takes
// them: the crossings before the first ambiguous lane go into count, and true when there is
// one (the walk stops there).
inline bool group_crossings(const WindingLeafGroup& g, const double p[3], const double d[3],
                            double origin_tolerance, int64_t& count) {
  const Real sx = p[0] - slot_row(g.v0[0]), sy = p[1] - slot_row(g.v0[1]),
             sz = p[2] - slot_row(g.v0[2]);
  const Real inv_det = slot_row(g.inv_det);
  const Real u = (sx * slot_row(g.q[0]) + sy * slot_row(g.q[1]) + sz * slot_row(g.q[2])) * inv_det;
  const Real e1x = slot_row(g.e1[0]), e1y = slot_row(g.e1[1]), e1z = slot_row(g.e1[2]);
  const Real wx = sy * e1z - sz * e1y, wy = sz * e1x - sx * e1z, wz = sx * e1y - sy * e1x;
  const Real v = (d[0] * wx + d[1] * wy + d[2] * wz) * inv_det;
  const Real t =
      (slot_row(g.e2[0]) * wx + slot_row(g.e2[1]) * wy + slot_row(g.e2[2]) * wz) * inv_det;
  const Real rest = 1.0 - u - v;
  const Real uv = u < v ? u : v;
  const Real m = uv < rest ? uv : rest;
  const Mask ordered = rest == rest;
  const Mask clean = ordered & (m > kCrossingEdge) & (t > origin_tolerance);
  const Mask doubtful = ordered & (m >= -kCrossingEdge) & (t >= -origin_tolerance);
  const unsigned crossing = g.used & ~g.parallel;
  const unsigned crossed = lane_bits(clean) & crossing;
  const unsigned stop = ((lane_bits(doubtful) & crossing & ~crossed) | g.parallel) & g.used;
  // The lanes before the first ambiguous one (all of them when none is).
  const unsigned before = (stop & (0u - stop)) - 1u;
  count += __builtin_popcount(crossed & g.against & before) -
           __builtin_popcount(crossed & ~g.against & before);
  return stop != 0;
}
#endif

// Several walks side by side, one step of each in turn: a walk is a chain of dependent
// loads and tests, and independent chains keep the processor busy while one waits.
struct WideWalks {
  // Walks n stacks from the root side by side, one step of each in turn: a wide node pushes
  // the slots enter(i, node) gives; a leaf goes to leaf(i, entry), which returns -1 (memory
  // failed), 0 (the walk goes on) or 1 (the walk ends here). False when memory failed.
  template <class Enter, class Leaf>
  static bool side_by_side(const WideNode* nodes, int n, WideScratch& scratch, Enter enter,
                           Leaf leaf) {
    size_t top[kWideWalkers];
    for (int i = 0; i < n; ++i) {
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
          const WideNode& node = nodes[e.ref];
          const unsigned slots = enter(i, node);
          if (!room(stack, top[i])) return false;
          top[i] = push_slots(node, slots, stack.entries, top[i]);
          continue;
        }
        const int outcome = leaf(i, e);
        if (outcome < 0) return false;
        if (outcome > 0) top[i] = 0;
      }
    }
    return true;
  }

#if defined(ZET_LANES)
  // The rays of one packet (n of them, 1 to kPacketRays) on one stack from the root. A wide
  // node pushes each slot that some of the entry's rays enter, with those rays, enter(ray,
  // node) giving a ray's slots; the slots go on the stack the last first, as side_by_side
  // pushes them, so each ray meets its own nodes in its own walk's order. A leaf goes to
  // leaf(entry, rays, ended), which sets ended to the rays whose walks end there (those
  // leave every entry from then on) and returns false when memory failed. False when
  // memory failed.
  template <class Enter, class Leaf>
  static bool packet(const WideNode* nodes, int n, PacketStack& stack, Enter enter, Leaf leaf) {
    if (!room(stack, 0)) return false;
    uint64_t live = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
    stack.entries[0] = {0, -1, live};
    size_t top = 1;
    SlotsByRay by_ray;
    while (top > 0) {
      const PacketEntry e = stack.entries[--top];
      const uint64_t rays = e.rays & live;
      if (rays == 0) continue;
      if (e.count >= 0) {
        uint64_t ended = 0;
        if (!leaf(e, rays, ended)) return false;
        live &= ~ended;
        continue;
      }
      const WideNode& node = nodes[e.ref];
      by_ray.clear();
      for (uint64_t m = rays; m != 0; m &= m - 1) {
        const int i = __builtin_ctzll(m);
        by_ray.bytes[i] = uint8_t(enter(i, node));
      }
      if (!room(stack, top)) return false;
      const uint64_t in[kWideSlots] = {by_ray.rays_in<0>(), by_ray.rays_in<1>(),
                                       by_ray.rays_in<2>(), by_ray.rays_in<3>()};
      for (int s = kWideSlots - 1; s >= 0; --s) {
        stack.entries[top] = {node.ref[s], node.count[s], in[s]};
        top += in[s] != 0;
      }
    }
    return true;
  }

  // trace for one packet of rays, on a faced tree or not.
  template <bool kFaced>
  static bool trace_packets(const LeafSource& leaves, const WideNode* nodes,
                            const double (*origins)[3], const int64_t rays[], int n,
                            const double direction[3], const double inverse[3], double epsilon,
                            double length, WideScratch& scratch) {
    const double reach = epsilon + length;
    PreparedBlock* const blocks = leaves.lazy->blocks + leaves.offset;
    uint32_t* const stamps = leaves.lazy->stamps.get() + leaves.offset;
    const BlockSpan* const spans = leaves.lazy->spans + leaves.offset;
    const uint32_t generation = leaves.lazy->generation;
    for (int i = 0; i < n; ++i) scratch.hits[i].size = 0;
    auto enter = [&](int i, const WideNode& node) {
      return entered_slots<kFaced>(node, origins[i], direction, inverse, reach);
    };
    auto leaf = [&](const PacketEntry& e, uint64_t live, uint64_t&) {
      if (e.count == 0) return true;
      PreparedBlock* const block = blocks + e.ref;  // the leaf's blocks, prepared together
      if (stamps[e.ref] != generation) {
        prepare_leaf(*leaves.tree, direction, spans + e.ref, block, e.count);
        stamps[e.ref] = generation;
      }
      for (uint64_t m = live; m != 0; m &= m - 1) {
        const int i = __builtin_ctzll(m);
        for (int b = 0; b < e.count; ++b)
          if (!block_crossings(block[b], origins[i], direction, epsilon, reach, rays[i],
                               scratch.hits[i]))
            return false;
      }
      return true;
    };
    return packet(nodes, n, scratch.packet, enter, leaf);
  }

  // wind for one packet of points; a point's walk stops at its first ambiguity, and the
  // point leaves the packet there.
  static bool wind_packets(const WindingBatch& b, const WideNode* nodes,
                           const WindingLeaves& leaves, const double (*points)[3], int n,
                           const double r[3], WideScratch& scratch, int64_t count[],
                           bool ambiguous[]) {
    for (int i = 0; i < n; ++i) {
      count[i] = 0;
      ambiguous[i] = false;
    }
    auto enter = [&](int i, const WideNode& node) { return reached_slots(node, points[i], r); };
    auto leaf = [&](const PacketEntry& e, uint64_t live, uint64_t& ended) {
      for (uint64_t m = live; m != 0; m &= m - 1) {
        const int i = __builtin_ctzll(m);
        for (const WindingLeafGroup* g = leaves.groups + e.count;; ++g) {
          if (group_crossings(*g, points[i], b.direction, b.origin_tolerance, count[i])) {
            ambiguous[i] = true;
            ended |= uint64_t{1} << i;
            break;
          }
          if (g->last != 0) break;
        }
      }
      return true;
    };
    return packet(nodes, n, scratch.packet, enter, leaf);
  }
#endif

#if !defined(ZET_LANES)
  // Finite points' walks side by side (the scalar build); each stops at its first ambiguity
  // with the count reached.
  static bool wind(const WindingBatch& b, const WideNode* nodes, const WindingLeaves& leaves,
                   const double (*points)[3], int n, const double r[3], WideScratch& scratch,
                   int64_t count[], bool ambiguous[]) {
    for (int i = 0; i < n; ++i) {
      count[i] = 0;
      ambiguous[i] = false;
    }
    auto enter = [&](int i, const WideNode& node) { return reached_slots(node, points[i], r); };
    const WindingTree& tree = b.tree;
    const WindingTriangle* triangles = leaves.triangles;
    auto leaf = [&](int i, const WideEntry& e) {
      const int64_t* row = tree.leaf_table + int64_t{e.ref} * tree.leaf_width;
      for (int64_t c = 0; c < tree.leaf_width; ++c) {
        const int64_t j = row[c];
        if (j < 0 || triangles[j].kind == WindingTriangle::kSkipped) continue;
        Crossing crossing = Crossing::kAmbiguous;
        if (triangles[j].kind == WindingTriangle::kCrossing)
          crossing = classify_prepared_rule(points[i], b.direction, triangles[j].prepared,
                                            b.origin_tolerance);
        if (crossing == Crossing::kAgainstNormal) count[i] += 1;
        if (crossing == Crossing::kAlongNormal) count[i] -= 1;
        if (crossing == Crossing::kAmbiguous) {
          ambiguous[i] = true;
          return 1;  // the walk stops here
        }
      }
      return 0;
    };
    return side_by_side(nodes, n, scratch, enter, leaf);
  }
#endif

#if defined(ZET_LANES)
  static constexpr int kGroup = kPacketRays;  // the points of a packet
#else
  static constexpr int kGroup = kWideWalkers;  // walks side by side
#endif
  static constexpr int64_t kPointsAhead = 2 * kGroup;

  static bool points(const WindingBatch& b, const WideNode* nodes, const WindingLeaves& leaves,
                     const uint32_t* order, int64_t begin, int64_t end) {
    // The reciprocal of wind_points_one_by_one; the caller made sure it is finite.
    const double r[3] = {1.0 / b.direction[0], 1.0 / b.direction[1], 1.0 / b.direction[2]};
    WideScratchOwner owner;
    WideScratch& scratch = owner.scratch;
    bool done = true;
    int64_t index[kGroup];
    double group[kGroup][3];  // the points' coordinates, next to each other for the walk
    int n = 0;
    auto flush = [&]() {
      int64_t count[kGroup];
      bool ambiguous[kGroup];
#if defined(ZET_LANES)
      if (!wind_packets(b, nodes, leaves, group, n, r, scratch, count, ambiguous)) return false;
#else
      if (!wind(b, nodes, leaves, group, n, r, scratch, count, ambiguous)) return false;
#endif
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
      // In the coherent order the points, and their results, are scattered in memory: those a
      // few groups ahead are fetched while this group walks. A block holds about one group,
      // so they are looked for in the whole order (whichever thread takes them).
      if (order != nullptr && at + kPointsAhead < b.point_count) {
        const int64_t ahead = order[at + kPointsAhead];
        __builtin_prefetch(b.points + 3 * ahead);
        __builtin_prefetch(b.crossings + ahead, 1);
        __builtin_prefetch(b.ambiguous + ahead, 1);
      }
      if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) {
        int64_t count;
        bool ambiguous;
        done = wind_binary(b, p, count, ambiguous);
        b.crossings[i] = count;
        b.ambiguous[i] = ambiguous ? 1 : 0;
        continue;
      }
      index[n] = i;
      std::copy(p, p + 3, group[n++]);
      if (n == kGroup) done = flush();
    }
    if (done && n > 0) done = flush();
    return done;
  }
};

}  // namespace
}  // namespace zet
