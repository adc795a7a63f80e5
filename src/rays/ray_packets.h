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

// A list of hits; raw memory owned by RayPacketScratch.
struct HitList {
  RayHit* hits;
  size_t size, capacity;
};

// Packets walking side by side: while one waits on memory, the others compute.
constexpr int kRayWalkers = 3;

// Working memory of packet tracing, kept across calls: per walker a hit list per lane and a
// stack, and the list that collects the hits of whole packets. Plain memory from the raw
// allocator, grown by the tracing code and freed by free_ray_packet_scratch.
struct RayPacketScratch {
  HitList lanes[kRayWalkers][8];
  void* stacks[kRayWalkers];
  size_t stack_capacities[kRayWalkers];
  HitList collected;
};

void free_ray_packet_scratch(RayPacketScratch& scratch);

// Owns a RayPacketScratch: freed with its owner.
struct PacketScratchOwner {
  RayPacketScratch scratch{};
  PacketScratchOwner() = default;
  PacketScratchOwner(const PacketScratchOwner&) = delete;
  PacketScratchOwner& operator=(const PacketScratchOwner&) = delete;
  ~PacketScratchOwner() { free_ray_packet_scratch(scratch); }
};

// Traces the rays with the given indices (n of them, taken in this order, a packet of up to
// the lane count at a time; null: the rays 0 .. n - 1 in order), appending each packet's hits to scratch.collected (emptied
// first) ray by ray within the packet, each ray's hits in its traversal order; packets may
// finish out of order. False when memory could not be had.
bool trace_rays_avx2(const RayTree& tree, const double* origins, const int64_t* rays, int64_t n,
                     const double direction[3], const double inverse[3], double epsilon,
                     double length, RayPacketScratch& scratch);
bool trace_rays_avx512(const RayTree& tree, const double* origins, const int64_t* rays,
                       int64_t n, const double direction[3], const double inverse[3],
                       double epsilon, double length, RayPacketScratch& scratch);

}  // namespace zet
