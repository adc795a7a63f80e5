// Cone margins of several directions at once against one group, one direction per vector
// lane; or of one direction, its group's generator and wedge slots on the lanes. Each margin
// is exactly group_margin's (the same operations, in the same order where the order can
// matter), so the margins are the same bits; only the instruction set differs. Built only on
// x86-64, for AVX2 (4 lanes) and AVX-512F (8 lanes).
#pragma once
#include <cstdint>

#include "cones/cone_margin.h"

namespace zet {

// As margin_rows.
void margin_rows_avx2(const MarginContext& context, int64_t a_begin, int64_t a_end, int64_t b_begin,
                      int64_t b_end);
void margin_rows_avx512(const MarginContext& context, int64_t a_begin, int64_t a_end,
                        int64_t b_begin, int64_t b_end);

// As group_margin, the group's generator and wedge slots on the lanes.
double group_margin_avx2(const MarginContext& context, const double u[3], int64_t g);
double group_margin_avx512(const MarginContext& context, const double u[3], int64_t g);

}  // namespace zet
