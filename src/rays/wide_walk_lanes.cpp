// The walks of wide_walk.h with the four slots of a node in one vector: a 4-lane build only,
// since a node has four slots (AVX-512F processors run this build too; the 8-lane compilation
// of this file is empty).
#if ZET_LANES == 4
#include "rays/wide_walk.h"
#include "rays/wide_walk_impl.h"

namespace zet {

bool ZET_LANE_ENTRY(trace_wide_rays)(const LeafSource& leaves, const WideNode* nodes,
                                     const double (*origins)[3], const int64_t rays[], int n,
                                     const double* direction, const double* inverse, double epsilon,
                                     double length, bool faced, WideScratch& scratch) {
  return faced ? WideWalks::trace_packets<true>(leaves, nodes, origins, rays, n, direction, inverse,
                                                epsilon, length, scratch)
               : WideWalks::trace_packets<false>(leaves, nodes, origins, rays, n, direction,
                                                 inverse, epsilon, length, scratch);
}

bool ZET_LANE_ENTRY(wind_wide_points)(const WindingBatch& b, const WideNode* nodes,
                                      const WindingLeaves& leaves, const uint32_t* order,
                                      int64_t begin, int64_t end) {
  return WideWalks::points(b, nodes, leaves, order, begin, end);
}

}  // namespace zet
#endif
