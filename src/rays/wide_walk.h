// Walks of a collapsed tree (see wide_tree.h), the slot boxes of a wide node tested
// together: one vector of four lanes on AVX2 (built where the processor has it; AVX-512F
// processors run the same build), where rays or points walk in packets on one stack (see
// kPacketRays), and a loop over the slots elsewhere, where four points walk side by side. A lane
// computes the binary walk's slab test for its slot, operation for operation, so the entered nodes,
// and with them every hit and every partial count, come out as the binary walk gives them, in its
// order. The triangles' set-up that depends on the direction only is made once per direction (and
// four of a leaf's triangles are tested in one vector); the arithmetic is the binary walk's, so the
// depths are its bits.
#pragma once
#include <cstddef>
#include <cstdint>

#include "rays/leaf_blocks.h"
#include "rays/ray_tree_hits.h"
#include "rays/ray_winding.h"
#include "rays/wide_tree.h"
#include "runtime/growable.h"
#include "runtime/raw_array.h"

namespace zet {

// Whether a direction's rays may walk a collapsed ray tree: every component of the inverse
// direction finite and not 0 (otherwise a slab end can be NaN, and the slab test of a child
// no longer implies that of a node it stands in for). Origins must be finite as well; the
// walk's caller checks each one.
bool wide_ray_direction(const double inverse[3]);
bool finite_point(const double p[3]);

// A walk's stack, and a list of hits: plain memory from the raw allocator, grown (64 entries
// at first, doubling) by the walks. The vector builds touch no shared inline code (see
// runtime/lanes.h), so these are plain data.
struct WideStack {
  WideEntry* entries;
  size_t capacity;
};
struct WideHits {
  RayHit* hits;
  size_t size, capacity;
};

// Walks that go side by side (the scalar build's winding walk).
constexpr int kWideWalkers = 4;

// Rays (or points) of a packet in the vector build: rays that walk the tree together on one
// stack whose entries carry the set of rays that entered them (a 64-bit word), so that a
// node or leaf that several of them enter is popped, and its branch taken, once (see
// wide_walk_impl.h). Taken in a coherent order, 64 rays share each node among the most of
// them: against 16, ray hits on the real meshes were 5 to 18% faster and winding 15%.
constexpr int kPacketRays = 64;

// A packet walk's stack entry: a wide node or a leaf as in WideEntry, and the rays of the
// packet that entered it (bit i: ray i).
struct PacketEntry {
  int32_t ref, count;
  uint64_t rays;
};
struct PacketStack {
  PacketEntry* entries;
  size_t capacity;
};

struct WideScratch {
  WideStack stacks[kWideWalkers];
  PacketStack packet;
  WideHits hits[kPacketRays];
};

// Owns a WideScratch (zeroed at first), freed with its owner.
struct WideScratchOwner {
  WideScratch scratch{};
  WideScratchOwner() = default;
  WideScratchOwner(const WideScratchOwner&) = delete;
  WideScratchOwner& operator=(const WideScratchOwner&) = delete;
  ~WideScratchOwner();
};

// Where a walk finds a leaf's triangles prepared for the direction: the tree's blocks start
// at offset in lazy's blocks, and a leaf's blocks are prepared, all of them, when a walk
// first reaches the leaf in lazy's current generation.
struct LeafSource {
  const RayTree* tree;
  LazyLeaves* lazy;
  int64_t offset;
};

// trace_ray for n (1 to kPacketRays) rays with finite origins on the collapsed tree of the
// same tree (grown by the same epsilon), its leaf triangles prepared for the direction from
// leaves: ray i's hits, with ray index rays[i], go to scratch.hits[i] (emptied first), the
// same hits in the same order as trace_ray's. faced: the tree is faced to the direction
// (WideTree::faced). False when memory could not be had.
using WideRayTracer = bool (*)(const LeafSource& leaves, const WideNode* nodes,
                               const double (*origins)[3], const int64_t rays[], int n,
                               const double direction[3], const double inverse[3], double epsilon,
                               double length, bool faced, WideScratch& scratch);

// The tracer of this processor's widest build; null without a vector build.
WideRayTracer wide_ray_tracer();

// Rays a WideRayBatch gathers before it traces them: enough that a coherent order of them
// (coherent_order.h) puts rays that run close together into one packet.
constexpr int kRayWindow = 16384;

// Traces rays one after another, as trace_ray would, through the collapsed tree in groups:
// add() the rays in order (a ray whose origin is not finite walks the binary tree, after the
// rays before it), then flush(). Hits go to the hit list in ray order. The rays gathered are
// traced in packets in a coherent order, and their hits put back in ray order: what a ray
// finds does not depend on the rays it walks with.
class WideRayBatch {
 public:
  WideRayBatch(const RayTree& tree, const WideTree& wide, const LeafSource& leaves,
               const double direction[3], const double inverse[3], double epsilon, double length,
               GrowableArray<RayHit>& hits);
  // False when memory could not be had (the hits are then incomplete).
  bool add(const double* origin, int64_t ray);
  bool flush();

 private:
  bool grow_window();

  const RayTree& tree_;
  const WideTree& wide_;
  LeafSource leaves_;
  const double *direction_, *inverse_;
  double epsilon_, length_;
  GrowableArray<RayHit>& hits_;
  WideRayTracer trace_;
  // The gathered rays (their origins copied), their order, and where each one's hits were
  // staged while the packets ran.
  int64_t window_ = 0;
  int n_ = 0;
  RawArray<double> points_;
  RawArray<int64_t> rays_, first_hit_;
  RawArray<uint32_t> keys_, cell_starts_, order_, hit_count_;
  GrowableArray<RayHit> staged_;
  WideScratchOwner scratch_;
  GrowableArray<uint32_t> binary_stack_;
};

// Whether a winding direction may walk a collapsed winding tree: every component's
// reciprocal finite and not 0.
bool wide_winding_direction(const double reciprocal[3]);

struct WindingLeafGroup;

// A collapsed winding tree's leaf triangles, prepared for the direction: the scalar walk reads
// the triangles through the leaf_table rows, the vector walk its leaves' groups (see
// winding_leaf_groups.h), each walk only its own.
struct WindingLeaves {
  const WindingTriangle* triangles;
  const WindingLeafGroup* groups;
};

// Points order[begin, end) of the batch (begin .. end - 1 when order is null) on the
// collapsed winding tree (grown by 8 epsilon) with the triangles prepared for the
// direction, their results written to the batch's
// outputs as the binary walk writes them; points that are not finite take the binary walk.
// False when a stack could not get memory; the outputs are then incomplete.
using WideWinder = bool (*)(const WindingBatch& batch, const WideNode* nodes,
                            const WindingLeaves& leaves, const uint32_t* order, int64_t begin,
                            int64_t end);

// The winder of this processor's widest build, and whether it reads the leaves' groups (or
// else the triangles).
struct WideWinding {
  WideWinder run;
  bool grouped;
};
WideWinding wide_winding();

// The builds behind the two selectors.
bool trace_wide_rays_avx2(const LeafSource&, const WideNode*, const double (*)[3], const int64_t[],
                          int, const double*, const double*, double, double, bool, WideScratch&);
bool wind_wide_points(const WindingBatch&, const WideNode*, const WindingLeaves&, const uint32_t*,
                      int64_t, int64_t);
bool wind_wide_points_avx2(const WindingBatch&, const WideNode*, const WindingLeaves&,
                           const uint32_t*, int64_t, int64_t);

}  // namespace zet
