// run_ray_tree_hits on the packet tracer, where the processor has one (see ray_packets.h).
#pragma once
#include "rays/ray_tree_hits.h"

namespace zet {

// Returns false, doing nothing, when there is no packet tracer here; otherwise runs every
// ray as run_ray_tree_hits would, with the same consultations and the same hits in the same
// order, and returns true.
bool run_ray_tree_hits_in_packets(const RayTreeHitsParams& params, CancelPoller& poller,
                                  RayTreeHitsResult& result, const double inverse[3]);

}  // namespace zet
