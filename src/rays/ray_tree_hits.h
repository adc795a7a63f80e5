// Rays against one triangle tree. trace_ray walks the tree for one ray and lists every
// usable triangle the ray crosses within its length; run_ray_tree_hits shoots one ray per
// origin along a common direction, one after another on the calling thread, and polls for
// cancellation before each ray. Hits come out in traversal order (depth first, left child
// first, leaf positions in order), rays in increasing index order; they are not sorted by
// depth.
#pragma once
#include <cstdint>

#include "runtime/cancel_poller.h"
#include "runtime/growable.h"
#include "runtime/raw_array.h"
#include "runtime/vec3.h"

namespace zet {

// The node arrays and mesh of a ray tree, in the layout of the tree build (see
// tree/tree_view.h). usable[t] nonzero lets triangle t take part; 0 skips it (the opposite
// sense of a tree's exclusion mask).
struct RayTree {
  const double* vertices;     // n x 3
  const uint32_t* triangles;  // m x 3
  const uint8_t* usable;      // m
  const double* node_min;     // k x 3
  const double* node_max;     // k x 3
  const int32_t* node_meta;   // k x 5
  const uint32_t* order;      // L
  int64_t k;
  int64_t order_length;  // L
};

// One crossing of a ray with a triangle: depth is the ray parameter t, in units of the
// direction vector's length.
struct RayHit {
  int64_t ray;
  int64_t triangle;
  double depth;
};
static_assert(sizeof(RayHit) == 24);

// Per axis 1 / direction, or 1.0 where the component is 0 (either sign); such an axis is
// tested by containment instead.
void inverse_direction(const double direction[3], double inverse[3]);

// Appends the hits of one ray to hits: triangles crossed at a depth t with
// epsilon < t <= epsilon + length, inside node boxes widened by epsilon on every side.
// stack is scratch that the caller keeps across rays. When a stack push or a hit append
// cannot get memory, sets out_of_memory and returns.
void trace_ray(const RayTree& tree, const double origin[3], const double direction[3],
               const double inverse[3], double epsilon, double length, int64_t ray,
               GrowableArray<RayHit>& hits, GrowableArray<uint32_t>& stack, bool& out_of_memory);

// The part of the ray/triangle test that depends on the direction only: the first corner,
// the two edges, p = direction x e2 and 1 / det. The walks of one direction compute it once
// per triangle; the arithmetic is that of the test.
struct PreparedTriangle {
  Vec3 a, e1, e2, p;
  double inv_det;
};

// False when the ray is parallel to the triangle's plane (never a hit); otherwise fills out.
bool prepare_triangle(Vec3 a, Vec3 b, Vec3 c, Vec3 direction, PreparedTriangle* out);
// The rest of the test for one origin.
bool prepared_crossing(const PreparedTriangle& triangle, Vec3 origin, Vec3 direction,
                       double epsilon, double length, double* depth);

// The triangles of the leaves prepared for one direction, a leaf's positions four to a block
// in position order (a longer leaf takes consecutive blocks), each field of a block's four
// positions side by side: a leaf test reads a few adjacent cache lines, a field of four
// positions with one vector load, and preparing a leaf writes its blocks only.
enum PreparedField {
  kAx,
  kAy,
  kAz,
  kE1x,
  kE1y,
  kE1z,
  kE2x,
  kE2y,
  kE2z,
  kPx,
  kPy,
  kPz,
  kInvDet,
  kFields
};
constexpr int kBlockLanes = 4;

// The positions a block holds, and whether it is prepared for the current direction, are
// kept apart (see leaf_blocks.h): a block is written only when it is prepared.
struct PreparedBlock {
  uint32_t live;  // per lane: a usable triangle that the direction does not run parallel to
  uint32_t triangle[kBlockLanes];
  alignas(32) double field[kFields][kBlockLanes];  // lanes that are not live hold zeros
};
static_assert(sizeof(PreparedBlock) == 448, "seven cache lines, the fields 32-byte aligned");

struct RayTreeHitsParams {
  RayTree tree;
  const double* origins;  // ray_count x 3
  int64_t ray_count;
  double direction[3];
  double length, epsilon;
  uint32_t cancel_interval;
};

struct RayTreeHitsResult {
  bool cancelled = false;
  bool out_of_memory = false;
  GrowableArray<RayHit> hits;
};

// All rays in index order. The callable is first asked before ray 0, then each time
// cancel_interval more rays have been started; on cancellation the hits of the rays
// completed so far are kept. A tree without nodes gives no hits and asks nothing.
void run_ray_tree_hits(const RayTreeHitsParams& params, CancelPoller& poller,
                       RayTreeHitsResult& result);

}  // namespace zet
