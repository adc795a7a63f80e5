// The lane cone groups with 8 lanes, compiled for AVX-512F (see cone_group_lanes.h).
#include "cones/cone_group_lanes.h"
#if defined(__AVX512F__)
#define ZET_LANES 8
#include "cones/cone_group_lanes_impl.h"

namespace zet {

void build_cone_groups_avx512(const ConeGroupJob& job, int64_t begin, int64_t end) {
  ConeGroupLanes::items(job, begin, end);
}

}  // namespace zet
#endif
