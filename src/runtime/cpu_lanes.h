// Which lane build of a kernel this processor runs: 8 lanes with AVX-512F, 4 with AVX2, or
// the scalar code (1). Lane builds exist on x86-64 only. The environment variable
// ZET_NATIVE_LANES, read once, caps the width at 1 or 4.
#pragma once

namespace zet {

int widest_lanes();

// Of a kernel's scalar, AVX2 and AVX-512F builds, the one for widest_lanes(). The vector
// builds are named through ZET_LANE_BUILD, which gives null where they are not compiled
// (and where widest_lanes() is then 1).
template <class Kernel>
Kernel widest_build(Kernel scalar, Kernel avx2, Kernel avx512) {
  switch (widest_lanes()) {
    case 8:
      return avx512;
    case 4:
      return avx2;
    default:
      return scalar;
  }
}

#if defined(ZET_LANE_BUILDS)
#define ZET_LANE_BUILD(name) name
#else
#define ZET_LANE_BUILD(name) nullptr
#endif

}  // namespace zet
