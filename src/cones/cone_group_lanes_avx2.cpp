// The lane cone groups with 4 lanes, compiled for AVX2 (see cone_group_lanes.h).
#include "cones/cone_group_lanes.h"
#if defined(__AVX2__)
#define ZET_LANES 4
#include "cones/cone_group_lanes_impl.h"

namespace zet {

void build_cone_groups_avx2(const ConeGroupJob& job, int64_t begin, int64_t end) {
  ConeGroupLanes::items(job, begin, end);
}

}  // namespace zet
#endif
