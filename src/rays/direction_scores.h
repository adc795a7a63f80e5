// Vertex-ray scores of many candidate translation directions. For each direction, rays of a
// fixed length go from chosen vertices of the moving mesh along the direction into each
// obstacle's tree, and from chosen vertices of the obstacle along the opposite direction into
// the moving mesh's tree. A direction's count is the number of obstacles that any of these
// rays hit; its score is the total length of ray that runs inside the other solid, reading the
// hits of one ray, sorted by depth, as alternating entries and exits.
#pragma once
#include <cstddef>
#include <cstdint>

#include "rays/leaf_blocks.h"
#include "rays/ray_tree_hits.h"
#include "rays/wide_tree.h"
#include "runtime/growable.h"

namespace zet {

// A mesh with its tree, the vertices that shoot rays, its bounding box and its ray epsilon
// (which is also the margin of its box).
struct RayMeshView {
  RayTree tree;
  const int64_t* points;  // vertex indices, each in [0, vertex_count)
  int64_t point_count;
  double bounds_min[3], bounds_max[3];
  double epsilon;
};

// Working memory of one direction, from the raw allocator; out_of_memory is set when any of
// it could not grow.
struct RayScratch {
  GrowableArray<RayHit> hits;
  GrowableArray<uint32_t> stack;
  GrowableArray<double> paired;  // -entry and +exit depths of the entry/exit pairs
  GrowableArray<double> tail;    // length - entry of an entry without an exit
  bool out_of_memory = false;
};

struct Penetration {
  int64_t hits;
  double score;
};

// The source's vertex rays along direction against the target's tree. Rays whose segment box
// misses [box_min, box_max] are not traced. Each traced ray's hits are sorted by depth
// (insertion sort: equal depths keep their traversal order) and read as entry, exit, entry,
// ...: a pair adds exit - entry, a last entry without its exit adds length - entry.
// target_wide is the target's tree collapsed with epsilon, or one that is not ready (the
// rays then walk the binary tree), and lazy holds the target's leaf blocks prepared for this
// direction at target_offset (null: the rays walk the binary tree); the hits are the same
// either way.
Penetration ray_penetration(const RayMeshView& source, const RayMeshView& target,
                            const WideTree& target_wide, LazyLeaves* lazy, int64_t target_offset,
                            const double direction[3], double length, double epsilon,
                            const double box_min[3], const double box_max[3], RayScratch& scratch);

// Blocks of eight partial sums, halved recursively above 128 values: the same bits for the
// same values in the same order, however the work is spread over threads.
double pairwise_sum(const double* values, size_t count);

struct DirectionScoresParams {
  const double* directions;  // direction_count x 3
  int64_t direction_count;
  double length;
  const RayMeshView* moving;
  const RayMeshView* obstacles;
  int64_t obstacle_count;
  int64_t* counts;  // direction_count, written by the work
  double* scores;   // direction_count, written by the work
};

// Every direction, spread over up to threads threads. Returns false when some scratch could
// not be allocated; counts and scores are then incomplete.
bool run_direction_scores(const DirectionScoresParams& params, int64_t threads);

}  // namespace zet
