// run_ray_tree_hits on the packet tracer, where the processor has one (see ray_packets.h).
#pragma once
#include "rays/ray_packets.h"
#include "rays/ray_tree_hits.h"

namespace zet {

// Whether this processor has a packet tracer.
bool have_packet_tracer();

// Traces rays first .. first + n - 1 (origins indexed by ray number) in packets, taking them
// in the order `rays` lists them (a permutation of those numbers; null, with first 0: in
// order), and appends their hits to
// `hits` ray by ray in increasing ray number, each ray's hits in its traversal order: what
// trace_ray gives ray after ray. starts is scratch of n + 1 entries. False when memory
// failed (the hits are then incomplete) or there is no packet tracer (nothing done).
bool append_packet_hits(const RayTree& tree, const double* origins, const int64_t* rays,
                        int64_t first, int64_t n, const double direction[3],
                        const double inverse[3], double epsilon, double length,
                        RayPacketScratch& scratch, uint32_t* starts, GrowableArray<RayHit>& hits);

// Returns false, doing nothing, when there is no packet tracer here; otherwise runs every
// ray as run_ray_tree_hits would, with the same consultations and the same hits in the same
// order, and returns true.
bool run_ray_tree_hits_in_packets(const RayTreeHitsParams& params, CancelPoller& poller,
                                  RayTreeHitsResult& result, const double inverse[3]);

}  // namespace zet
