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

// Every position of order with its triangle prepared for one direction, field by field
// (a field's values for consecutive positions side by side, so that a vector build loads
// the positions of a leaf together), padded with kPreparedPad dead positions. live is 0 for
// a triangle that is not usable or that the direction runs parallel to.
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
constexpr int64_t kPreparedPad = 8;

// The prepared positions as plain pointers (what the walks read).
struct PreparedView {
  const double* values;      // kFields x stride: field f of position i at f * stride + i
  const uint32_t* triangle;  // stride
  const uint8_t* live;       // stride
  int64_t stride;
};

struct PreparedLeaves {
  RawArray<double> values;
  RawArray<uint32_t> triangle;
  RawArray<uint8_t> live;
  PreparedView view{};
};

// Positions prepared on demand, for one direction at a time, for several trees at once (each
// at its own offset in the arrays): a position is prepared when its stamp is the current
// generation; a new direction takes a new generation.
struct LazyLeaves {
  PreparedLeaves leaves;  // leaves.view spans every tree
  RawArray<uint32_t> stamp;
  uint32_t generation = 1;
};

// Room for `positions` positions in all (stamps cleared, the padding zeroed). False when
// memory could not be had.
bool reserve_lazy_leaves(LazyLeaves& lazy, int64_t positions);

// Prepares for direction the positions [begin, end) of tree, whose positions sit at offset in
// lazy, that the current generation has not prepared yet.
void prepare_positions(const RayTree& tree, const double direction[3], int64_t begin, int64_t end,
                       LazyLeaves& lazy, int64_t offset);

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
