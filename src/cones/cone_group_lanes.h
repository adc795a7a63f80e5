// Cone groups of several items at once, one item per vector lane. Each lane performs exactly
// build_cone_group's operations in the same order (the same sums term by term, the same NaN
// rules, the Jacobi sweeps until the lane's own sweep rotates nothing), so the groups are the
// same bits; only the instruction set differs. Built only on x86-64, for AVX2 (4 lanes) and
// AVX-512F (8 lanes).
#pragma once
#include <cstdint>

#include "cones/cone_group_kernel.h"

namespace zet {

// build_cone_group for items [begin, end) in the job's pass.
void build_cone_groups_avx2(const ConeGroupJob& job, int64_t begin, int64_t end);
void build_cone_groups_avx512(const ConeGroupJob& job, int64_t begin, int64_t end);

}  // namespace zet
