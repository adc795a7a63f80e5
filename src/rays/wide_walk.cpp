// The walks of wide_walk.h with a loop over the slots, the choice of build, and the batch of
// rays that feeds the walks in groups.
#include "rays/wide_walk_impl.h"

#include <algorithm>

#include "rays/coherent_order.h"
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

// The window grows with the rays (256 at first, doubling, up to kRayWindow): calls with few
// rays take little memory.
bool WideRayBatch::grow_window() {
  const int64_t grown = std::min<int64_t>(kRayWindow, window_ == 0 ? 256 : 2 * window_);
  const size_t g = size_t(grown);
  if (!(points_.resize(3 * g) && rays_.resize(g) && first_hit_.resize(g) && keys_.resize(g) &&
        cell_starts_.resize(size_t{coherent_cell_count(grown)} + 1) && order_.resize(g) &&
        hit_count_.resize(g)))
    return false;
  window_ = grown;
  return true;
}

bool WideRayBatch::add(const double* origin, int64_t ray) {
  if (!finite_point(origin)) {
    if (!flush()) return false;
    bool out_of_memory = false;
    trace_ray(tree_, origin, direction_, inverse_, epsilon_, length_, ray, hits_, binary_stack_,
              out_of_memory);
    return !out_of_memory;
  }
  if (n_ == window_ && !grow_window()) return false;
  std::copy(origin, origin + 3, points_.get() + 3 * n_);
  rays_.get()[n_++] = ray;
  return n_ < kRayWindow || flush();
}

bool WideRayBatch::flush() {
  if (n_ == 0) return true;
  const int n = n_;
  n_ = 0;
  const double* points = points_.get();
  uint32_t* order = order_.get();
  if (n < 2 * kPacketRays ||
      !coherent_order(points, n, direction_, keys_.get(), cell_starts_.get(), order))
    for (int i = 0; i < n; ++i) order[i] = uint32_t(i);
  WideScratch& s = scratch_.scratch;
  staged_.clear();
  for (int at = 0; at < n; at += kPacketRays) {
    const int m = std::min(kPacketRays, n - at);
    double origins[kPacketRays][3];  // next to each other for the walk
    int64_t rays[kPacketRays];
    for (int j = 0; j < m; ++j) {
      std::copy(points + 3 * order[at + j], points + 3 * order[at + j] + 3, origins[j]);
      rays[j] = rays_.get()[order[at + j]];
    }
    if (!trace_(leaves_, wide_.nodes(), origins, rays, m, direction_, inverse_, epsilon_, length_,
                wide_.faced(), s))
      return false;
    size_t total = staged_.size();
    for (int j = 0; j < m; ++j) total += s.hits[j].size;
    if (!staged_.reserve(total)) return false;
    for (int j = 0; j < m; ++j) {
      const uint32_t w = order[at + j];
      first_hit_.get()[w] = int64_t(staged_.size());
      hit_count_.get()[w] = uint32_t(s.hits[j].size);
      std::copy(s.hits[j].hits, s.hits[j].hits + s.hits[j].size, staged_.data() + staged_.size());
      staged_.resize_within_capacity(staged_.size() + s.hits[j].size);
    }
  }
  size_t size = hits_.size();
  if (!hits_.reserve(size + staged_.size())) return false;
  for (int w = 0; w < n; ++w) {
    const RayHit* first = staged_.data() + first_hit_.get()[w];
    std::copy(first, first + hit_count_.get()[w], hits_.data() + size);
    size += hit_count_.get()[w];
  }
  hits_.resize_within_capacity(size);
  return true;
}

}  // namespace zet
