// Which lane build of a kernel this processor runs: 8 lanes with AVX-512F, 4 with AVX2, or
// the scalar code (1). Lane builds exist on x86-64 only. The environment variable
// ZET_NATIVE_LANES, read once, caps the width at 1 or 4.
#pragma once

namespace zet {

int widest_lanes();

}  // namespace zet
