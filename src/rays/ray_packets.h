// Rays of one direction traced through a ray tree several at a time, one ray per vector
// lane, walking the tree together: a node is visited when any lane's ray enters it, and each
// lane keeps the set of nodes its own ray enters. Every lane meets its nodes in the walk's
// order (depth first, left child first), so each ray finds its hits in the order trace_ray
// finds them; the lane arithmetic is trace_ray's, so the depths are the same bits. Built
// only on x86-64, for AVX2 (4 lanes) and AVX-512F (8 lanes).
#pragma once
#include <cstddef>
#include <cstdint>

#include "rays/ray_tree_hits.h"

namespace zet {

// Hits of one lane's ray in its traversal order; raw memory owned by RayPacketScratch.
struct LaneHits {
  RayHit* hits;
  size_t size, capacity;
};

// Working memory of packet tracing, kept across packets: a hit list per lane and the
// walk's stack. Plain memory from the raw allocator, grown by the tracing code and freed
// by the owner (see free_ray_packet_scratch).
struct RayPacketScratch {
  LaneHits lanes[8];
  void* stack;
  size_t stack_capacity;
};

void free_ray_packet_scratch(RayPacketScratch& scratch);

// Traces rays first .. first + count - 1 (count at most the lane count) from their origins,
// each lane's hits into scratch.lanes[l] (emptied first). False when memory could not be
// had; the lists are then incomplete.
bool trace_packet_avx2(const RayTree& tree, const double* origins, int count,
                       const double direction[3], const double inverse[3], double epsilon,
                       double length, int64_t first, RayPacketScratch& scratch);
bool trace_packet_avx512(const RayTree& tree, const double* origins, int count,
                         const double direction[3], const double inverse[3], double epsilon,
                         double length, int64_t first, RayPacketScratch& scratch);

}  // namespace zet
