// The lane tracer with 4 lanes, compiled for AVX2 (see ray_packets.h).
#include "rays/ray_packets.h"
#if defined(__AVX2__)
#define ZET_LANES 4
#include "rays/ray_packets_impl.h"

namespace zet {

bool trace_rays_avx2(const RayTree& tree, const double* origins, const int64_t* rays,
                     int64_t n, const double direction[3], const double inverse[3], double epsilon,
                     double length, RayPacketScratch& scratch) {
  return RayLanes::trace(tree, origins, rays, n, direction, inverse, epsilon, length,
                             scratch);
}

}  // namespace zet
#endif
