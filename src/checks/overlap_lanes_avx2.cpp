// The lane clipper with 4 lanes, compiled for AVX2 (see overlap_lanes.h).
#include "checks/overlap_lanes.h"
#if defined(__AVX2__)
#define ZET_LANES 4
#include "checks/overlap_lanes_impl.h"

namespace zet {

void clipped_overlap_area_rows_avx2(const double* subject, const double* clip, double tolerance,
                                    double* areas, int64_t begin, int64_t end) {
  Lanes::rows(subject, clip, tolerance, areas, begin, end);
}

}  // namespace zet
#endif
