// The walks of wide_walk.h with the four slots in one AVX2 vector.
#include "rays/wide_walk.h"
#if defined(__AVX2__)
#define ZET_LANES 4
#include "rays/wide_walk_impl.h"

namespace zet {

bool trace_wide_rays_avx2(const LeafSource& leaves, const WideNode* nodes, const double* const origins[], const int64_t rays[], int n,
                          const double* direction, const double* inverse, double epsilon,
                          double length, WideScratch& scratch) {
  return WideWalks::trace(leaves, nodes, origins, rays, n, direction, inverse, epsilon, length,
                          scratch);
}

bool wind_wide_points_avx2(const WindingBatch& b, const WideNode* nodes,
                           const WindingTriangle* triangles, const uint32_t* order,
                           int64_t begin, int64_t end) {
  return WideWalks::points(b, nodes, triangles, order, begin, end);
}

}  // namespace zet
#endif
