// Signed ray crossings of points against a closed triangulated solid. Every point shoots a
// ray along one common direction through the solid's own box tree (the winding tree) and
// adds +1 for each triangle it crosses against the triangle's normal and -1 for each it
// crosses along it; for outward normals that is -1 inside and 0 outside. A ray that grazes
// an edge or a vertex, runs parallel to a triangle it reaches, or meets a triangle at the
// point itself makes the point ambiguous, and its traversal stops there.
#pragma once
#include <cstdint>

#include "runtime/raw_array.h"
#include "runtime/vec3.h"

namespace zet {

// The winding tree: K nodes over T triangles. Node 0 is the root; an internal node's two
// children both lie after it and inside the arrays. A leaf lists up to leaf_width triangle
// indices in its row of leaf_table; negative entries are empty slots, and the rows of
// internal nodes are never read. A triangle is its three corners V0, V1, V2 (x, y, z each);
// its normal is (V1 - V0) x (V2 - V0). usable[t] of 0 leaves triangle t out.
struct WindingTree {
  const double* node_min;           // K x 3
  const double* node_max;           // K x 3
  const int64_t* child_left;        // K
  const int64_t* child_right;       // K
  const uint8_t* is_leaf;           // K, nonzero for a leaf
  const int64_t* leaf_table;        // K x leaf_width
  const double* triangle_vertices;  // T x 3 x 3
  const uint8_t* usable;            // T
  int64_t node_count;               // K
  int64_t leaf_width;
  int64_t triangle_count;  // T
};

// Index of the first malformed internal node, or -1. An internal node needs both children
// after itself and inside the arrays; and, so that no node can be reached twice (a small
// tree whose nodes share children makes a walk exponentially long), two different children
// that no earlier internal node has named. Leaves are not checked. child_seen is zeroed
// scratch of (node_count + 63) / 64 words.
int64_t first_malformed_winding_node(const int64_t* child_left, const int64_t* child_right,
                                     const uint8_t* is_leaf, int64_t node_count,
                                     uint64_t* child_seen);

// True when every one of the count entries is below limit (negative entries pass).
bool entries_below(const int64_t* entries, int64_t count, int64_t limit);

// What one triangle does to the ray p + t d.
enum class Crossing { kNone, kAgainstNormal, kAlongNormal, kAmbiguous };

// The Moller-Trumbore test with absolute thresholds (rays/crossing_rule.h): a triangle within
// kCrossingParallel of parallel to the ray (in |d . unit normal|, degenerate triangles
// included) is ambiguous; a crossing whose barycentric minimum exceeds kCrossingEdge at
// t > origin_tolerance counts; one within kCrossingEdge of an edge or at |t| <=
// origin_tolerance is ambiguous; anything else misses.
Crossing classify_crossing(const double point[3], const double direction[3],
                           const double corners[9], double origin_tolerance);

// The part of classify_crossing that depends on the direction only, for a triangle the
// direction is not parallel to: V0, the edges, q = d x e2, 1 / det and the sign of det.
struct PreparedCrossing {
  Vec3 v0, e1, e2, q;
  double inv_det;
  bool against_normal;  // det > 0
};

// False when the triangle is within kCrossingParallel of parallel to the direction (ambiguous for
// any point whose ray meets it); otherwise fills out.
bool prepare_crossing(const double direction[3], const double corners[9], PreparedCrossing* out);
// The rest of classify_crossing for one point.
Crossing classify_prepared(const double point[3], const double direction[3],
                           const PreparedCrossing& crossing, double origin_tolerance);

// A triangle of the winding tree prepared for one direction.
struct WindingTriangle {
  enum Kind : uint8_t { kSkipped, kParallel, kCrossing };
  PreparedCrossing prepared;  // set for kCrossing
  Kind kind;                  // kSkipped: not usable
};

// Every triangle, prepared for direction. False when memory could not be had.
bool prepare_winding_triangles(const WindingTree& tree, const double direction[3],
                               RawArray<WindingTriangle>& prepared);

struct WindingBatch {
  WindingTree tree;
  const double* points;  // point_count x 3
  int64_t point_count;
  double direction[3];      // used as given, not normalised
  double epsilon;           // node boxes are grown by 8 epsilon on every side
  double origin_tolerance;  // in units of the direction's length
  int64_t* crossings;       // point_count, written
  uint8_t* ambiguous;       // point_count, written
};

// One point's walk of the binary tree, as every build walks it when the collapsed tree
// cannot serve. False when its stack could not get memory.
bool wind_binary(const WindingBatch& batch, const double point[3], int64_t& count, bool& ambiguous);

// Every point, in blocks of 64 claimed by up to `threads` threads. Needs a tree with at
// least one node. Returns false when a traversal stack could not get memory; the outputs
// are then incomplete and must be dropped.
bool run_ray_winding(const WindingBatch& batch, int64_t threads);

}  // namespace zet
