// The lane clipper with 8 lanes, compiled for AVX-512F (see overlap_lanes.h).
#include "checks/overlap_lanes.h"
#if defined(__AVX512F__)
#define ZET_LANES 8
#include "checks/overlap_lanes_impl.h"

namespace zet {

void clipped_overlap_area_rows_avx512(const double* subject, const double* clip,
                                      double tolerance, double* areas, int64_t begin,
                                      int64_t end) {
  Lanes::rows(subject, clip, tolerance, areas, begin, end);
}

}  // namespace zet
#endif
