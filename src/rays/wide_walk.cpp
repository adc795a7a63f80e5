// The walks of wide_walk.h with a loop over the slots, the choice of build, and the batch of
// rays that feeds the walks in groups.
#include "rays/wide_walk_impl.h"

#include <algorithm>

#include "runtime/cpu_lanes.h"

namespace zet {

WideScratchOwner::~WideScratchOwner() {
  for (int i = 0; i < kWideWalkers; ++i) raw_free(scratch.stacks[i].entries);
  raw_free(scratch.packet.entries);
  for (int i = 0; i < kPacketRays; ++i) raw_free(scratch.hits[i].hits);
}

bool wide_ray_direction(const double inverse[3]) {
  for (int a = 0; a < 3; ++a)
    if (!std::isfinite(inverse[a]) || inverse[a] == 0.0) return false;
  return true;
}

bool finite_point(const double p[3]) {
  return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

bool wide_winding_direction(const double reciprocal[3]) { return wide_ray_direction(reciprocal); }

bool wind_wide_points(const WindingBatch& b, const WideNode* nodes, const WindingLeaves& leaves,
                      const uint32_t* order, int64_t begin, int64_t end) {
  return WideWalks::points(b, nodes, leaves, order, begin, end);
}

// AVX-512F processors run the four-slot AVX2 build: a node has four slots. Without a
// vector build there is no tracer: a walk that tests four boxes one after another where the
// binary walk would often have stopped at their parent costs more than it saves, and the
// rays walk the binary tree.
WideRayTracer wide_ray_tracer() {
  static const WideRayTracer tracer = widest_build<WideRayTracer>(
      nullptr, ZET_LANE_BUILD(trace_wide_rays_avx2), ZET_LANE_BUILD(trace_wide_rays_avx2));
  return tracer;
}

WideWinding wide_winding() {
  static const WideWinder winder =
      widest_build<WideWinder>(wind_wide_points, ZET_LANE_BUILD(wind_wide_points_avx2),
                               ZET_LANE_BUILD(wind_wide_points_avx2));
  return {winder, winder != wind_wide_points};
}

WideRayBatch::WideRayBatch(const RayTree& tree, const WideTree& wide, const LeafSource& leaves,
                           const double direction[3], const double inverse[3], double epsilon,
                           double length, GrowableArray<RayHit>& hits)
    : tree_(tree),
      wide_(wide),
      leaves_(leaves),
      direction_(direction),
      inverse_(inverse),
      epsilon_(epsilon),
      length_(length),
      hits_(hits),
      trace_(wide_ray_tracer()) {}

bool WideRayBatch::add(const double* origin, int64_t ray) {
  if (!finite_point(origin)) {
    if (!flush()) return false;
    bool out_of_memory = false;
    trace_ray(tree_, origin, direction_, inverse_, epsilon_, length_, ray, hits_, binary_stack_,
              out_of_memory);
    return !out_of_memory;
  }
  origins_[n_] = origin;
  rays_[n_++] = ray;
  return n_ < kPacketRays || flush();
}

bool WideRayBatch::flush() {
  if (n_ == 0) return true;
  const int n = n_;
  n_ = 0;
  WideScratch& s = scratch_.scratch;
  if (!trace_(leaves_, wide_.nodes(), origins_, rays_, n, direction_, inverse_, epsilon_, length_,
              s))
    return false;
  size_t size = hits_.size(), total = size;
  for (int i = 0; i < n; ++i) total += s.hits[i].size;
  if (!hits_.reserve(total)) return false;
  for (int i = 0; i < n; ++i) {
    std::copy(s.hits[i].hits, s.hits[i].hits + s.hits[i].size, hits_.data() + size);
    size += s.hits[i].size;
  }
  hits_.resize_within_capacity(size);
  return true;
}

}  // namespace zet
