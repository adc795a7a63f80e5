// Cone margins of several directions at once against one group, one direction per vector
// lane. Each lane performs exactly group_margin's operations in the same order, so the
// margins are the same bits; only the instruction set differs. Built only on x86-64, for
// AVX2 (4 lanes) and AVX-512F (8 lanes).
#pragma once
#include <cstdint>

#include "cones/cone_margin.h"

namespace zet {

// As margin_rows.
void margin_rows_avx2(const MarginContext& context, int64_t a_begin, int64_t a_end,
                      int64_t b_begin, int64_t b_end);
void margin_rows_avx512(const MarginContext& context, int64_t a_begin, int64_t a_end,
                        int64_t b_begin, int64_t b_end);

}  // namespace zet
