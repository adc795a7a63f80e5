// The lane margins with 8 lanes, compiled for AVX-512F (see margin_lanes.h).
#include "cones/margin_lanes.h"
#if defined(__AVX512F__)
#define ZET_LANES 8
#include "cones/margin_lanes_impl.h"

namespace zet {

void margin_rows_avx512(const MarginContext& context, int64_t a_begin, int64_t a_end,
                      int64_t b_begin, int64_t b_end) {
  MarginLanes::rows(context, a_begin, a_end, b_begin, b_end);
}

double group_margin_avx512(const MarginContext& context, const double u[3], int64_t g) {
  return MarginLanes::one(context, u, g);
}

}  // namespace zet
#endif
