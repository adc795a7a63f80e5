// The lane tracer with 8 lanes, compiled for AVX-512F (see ray_packets.h).
#include "rays/ray_packets.h"
#if defined(__AVX512F__)
#include "rays/ray_packets_impl.h"

namespace zet {

bool trace_packet_avx512(const RayTree& tree, const double* origins, int count,
                         const double direction[3], const double inverse[3], double epsilon,
                         double length, int64_t first, RayPacketScratch& scratch) {
  return RayLanes<8>::trace(tree, origins, count, direction, inverse, epsilon, length, first,
                             scratch);
}

}  // namespace zet
#endif
