// Where each batch of a cell-bound call keeps its relevance flags: one block of
// cells x groups after another, in batch order.
#pragma once
#include <cstdint>

namespace zet {

// Outcome of walking the batch offsets.
enum class FlagOffsetWalk { kValid, kEmptyBatch, kTooManyFlags };

// P_0 = 0, P_{b+1} = P_b + nc_b * ng_b for the B batches, in order. kEmptyBatch when some
// batch has fewer than one cell or a negative group count (that check wins wherever it
// occurs); kTooManyFlags when P_B would exceed `limit` (the largest flag array that can
// exist); the sums are computed so that no caller's offsets can overflow them.
FlagOffsetWalk walk_flag_offsets(const int64_t* cell_offsets, const int64_t* relevant_offsets,
                                 int64_t batches, int64_t limit, int64_t* flag_offsets);

}  // namespace zet
