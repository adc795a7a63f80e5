// Ray winding of several points at once, one point per vector lane, all walking the tree
// together: a node is visited when the ray of any lane still in the walk reaches it, and
// each lane keeps the set of nodes its own ray reaches. Since every lane meets its nodes in
// the walk's order (depth first, left child first), each lane handles exactly the triangles
// of its own walk in the same order, and stops at its first ambiguity with the same partial
// count. The lane arithmetic is that of the scalar code, so the results are the same bits.
// Built only on x86-64, for AVX2 (4 lanes) and AVX-512F (8 lanes).
#pragma once
#include <cstdint>

#include "rays/ray_winding.h"

namespace zet {

// Points order[begin, end) of the batch (or begin .. end - 1 themselves when order is null),
// their results written to the batch's outputs. Returns false when the walk's stack could
// not get memory; the outputs are then incomplete.
bool wind_points_avx2(const WindingBatch& batch, const uint32_t* order, int64_t begin, int64_t end);
bool wind_points_avx512(const WindingBatch& batch, const uint32_t* order, int64_t begin,
                        int64_t end);

}  // namespace zet
