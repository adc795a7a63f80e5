// The walks of wide_walk.h with a loop over the slots, and the choice of build.
#include "rays/wide_walk_impl.h"

#include "runtime/cpu_lanes.h"

namespace zet {

WideStackOwner::~WideStackOwner() { raw_free(stack.entries); }

bool append_ray_hit(GrowableArray<RayHit>& hits, const RayHit& hit) { return hits.push_back(hit); }

bool wide_ray_direction(const double inverse[3]) {
  for (int a = 0; a < 3; ++a)
    if (!std::isfinite(inverse[a]) || inverse[a] == 0.0) return false;
  return true;
}

bool finite_point(const double p[3]) {
  return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

bool wide_winding_direction(const double reciprocal[3]) { return wide_ray_direction(reciprocal); }

bool trace_wide_ray(const RayTree& tree, const WideTree& wide, const double* origin,
                    const double* direction, const double* inverse, double epsilon, double length,
                    int64_t ray, GrowableArray<RayHit>& hits, WideStack& stack) {
  return WideWalks::trace(tree, wide, origin, direction, inverse, epsilon, length, ray, hits,
                          stack);
}

bool wind_wide_points(const WindingBatch& b, const WideTree& wide, const uint32_t* order,
                      int64_t begin, int64_t end) {
  return WideWalks::points(b, wide, order, begin, end);
}

// AVX-512F processors run the four-slot AVX2 build: a node has four slots.
WideRayTracer wide_ray_tracer() {
  static const WideRayTracer tracer = widest_build<WideRayTracer>(
      trace_wide_ray, ZET_LANE_BUILD(trace_wide_ray_avx2), ZET_LANE_BUILD(trace_wide_ray_avx2));
  return tracer;
}

WideWinder wide_winder() {
  static const WideWinder winder = widest_build<WideWinder>(
      wind_wide_points, ZET_LANE_BUILD(wind_wide_points_avx2),
      ZET_LANE_BUILD(wind_wide_points_avx2));
  return winder;
}

}  // namespace zet
