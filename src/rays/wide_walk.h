// Walks of a collapsed tree (see wide_tree.h), one ray or point at a time, the slot boxes
// of a wide node tested together: one vector of four lanes on AVX2 (built where the
// processor has it; AVX-512F processors run the same build), a loop over the slots
// elsewhere. A lane computes the binary walk's slab test for its slot, operation for
// operation, so the entered nodes, and with them every hit and every partial count, come
// out as the binary walk gives them, in its order.
#pragma once
#include <cstddef>
#include <cstdint>

#include "rays/ray_tree_hits.h"
#include "rays/ray_winding.h"
#include "rays/wide_tree.h"
#include "runtime/growable.h"

namespace zet {

// Whether a direction's rays may walk a collapsed ray tree: every component of the inverse
// direction finite and not 0 (otherwise a slab end can be NaN, and the slab test of a child
// no longer implies that of a node it stands in for). Origins must be finite as well; the
// walk's caller checks each one.
bool wide_ray_direction(const double inverse[3]);
bool finite_point(const double p[3]);

// A walk's stack: plain memory from the raw allocator, grown (64 entries at first,
// doubling) by the walks and freed by its owner. The vector builds touch no shared inline
// code (see runtime/lanes.h), so the stack is plain data and the hit list is appended to
// through append_ray_hit.
struct WideStack {
  WideEntry* entries = nullptr;
  size_t capacity = 0;
};

struct WideStackOwner {
  WideStack stack;
  WideStackOwner() = default;
  WideStackOwner(const WideStackOwner&) = delete;
  WideStackOwner& operator=(const WideStackOwner&) = delete;
  ~WideStackOwner();
};

// hits.push_back, out of line.
bool append_ray_hit(GrowableArray<RayHit>& hits, const RayHit& hit);

// trace_ray on the collapsed tree of the same tree (grown by the same epsilon): the same
// hits in the same order, appended to hits. False when memory could not be had.
using WideRayTracer = bool (*)(const RayTree& tree, const WideTree& wide, const double origin[3],
                               const double direction[3], const double inverse[3],
                               double epsilon, double length, int64_t ray,
                               GrowableArray<RayHit>& hits, WideStack& stack);

// The tracer of this processor's widest build.
WideRayTracer wide_ray_tracer();

// Whether a winding direction may walk a collapsed winding tree: every component's
// reciprocal finite and not 0.
bool wide_winding_direction(const double reciprocal[3]);

// Points order[begin, end) of the batch (begin .. end - 1 when order is null) on the
// collapsed winding tree (grown by 8 epsilon), their results written to the batch's
// outputs as the binary walk writes them; points that are not finite take the binary walk.
// False when a stack could not get memory; the outputs are then incomplete.
using WideWinder = bool (*)(const WindingBatch& batch, const WideTree& wide,
                            const uint32_t* order, int64_t begin, int64_t end);

WideWinder wide_winder();

// The builds behind the two selectors.
bool trace_wide_ray(const RayTree&, const WideTree&, const double*, const double*, const double*,
                    double, double, int64_t, GrowableArray<RayHit>&, WideStack&);
bool trace_wide_ray_avx2(const RayTree&, const WideTree&, const double*, const double*,
                         const double*, double, double, int64_t, GrowableArray<RayHit>&,
                         WideStack&);
bool wind_wide_points(const WindingBatch&, const WideTree&, const uint32_t*, int64_t, int64_t);
bool wind_wide_points_avx2(const WindingBatch&, const WideTree&, const uint32_t*, int64_t,
                           int64_t);

}  // namespace zet
