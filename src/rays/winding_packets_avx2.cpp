// The lane walk with 4 lanes, compiled for AVX2 (see winding_packets.h).
#include "rays/winding_packets.h"
#if defined(__AVX2__)
#define ZET_LANES 4
#include "rays/winding_packets_impl.h"

namespace zet {

bool wind_points_avx2(const WindingBatch& batch, const uint32_t* order, int64_t begin,
                      int64_t end) {
  return WindingLanes::points(batch, order, begin, end);
}

}  // namespace zet
#endif
