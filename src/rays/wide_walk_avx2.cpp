// The walks of wide_walk.h with the four slots in one AVX2 vector.
#include "rays/wide_walk.h"
#if defined(__AVX2__)
#define ZET_LANES 4
#include "rays/wide_walk_impl.h"

namespace zet {

bool trace_wide_ray_avx2(const RayTree& tree, const WideTree& wide, const double* origin,
                         const double* direction, const double* inverse, double epsilon,
                         double length, int64_t ray, GrowableArray<RayHit>& hits,
                         WideStack& stack) {
  return WideWalks::trace(tree, wide, origin, direction, inverse, epsilon, length, ray, hits,
                          stack);
}

bool wind_wide_points_avx2(const WindingBatch& b, const WideTree& wide, const uint32_t* order,
                           int64_t begin, int64_t end) {
  return WideWalks::points(b, wide, order, begin, end);
}

}  // namespace zet
#endif
