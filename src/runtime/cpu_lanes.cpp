#include "runtime/cpu_lanes.h"

#include <cstdlib>
#include <cstring>

namespace zet {
namespace {

int probe_widest_lanes() {
  int lanes = 1;
#if defined(ZET_LANE_BUILDS)
  if (__builtin_cpu_supports("avx512f"))
    lanes = 8;
  else if (__builtin_cpu_supports("avx2"))
    lanes = 4;
#endif
  // ZET_NATIVE_LANES=1 or 4 caps the width, to compare the builds on one machine.
  const char* cap = std::getenv("ZET_NATIVE_LANES");
  if (cap != nullptr && std::strcmp(cap, "1") == 0) lanes = 1;
  if (cap != nullptr && std::strcmp(cap, "4") == 0 && lanes > 4) lanes = 4;
  return lanes;
}

}  // namespace

int widest_lanes() {
  static const int lanes = probe_widest_lanes();
  return lanes;
}

}  // namespace zet
