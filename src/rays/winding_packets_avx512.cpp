// The lane walk with 8 lanes, compiled for AVX-512F (see winding_packets.h).
#include "rays/winding_packets.h"
#if defined(__AVX512F__)
#define ZET_LANES 8
#include "rays/winding_packets_impl.h"

namespace zet {

bool wind_points_avx512(const WindingBatch& batch, const uint32_t* order, int64_t begin,
                        int64_t end) {
  return WindingLanes::points(batch, order, begin, end);
}

}  // namespace zet
#endif
