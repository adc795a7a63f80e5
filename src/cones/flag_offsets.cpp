#include "cones/flag_offsets.h"

namespace zet {

FlagOffsetWalk walk_flag_offsets(const int64_t* cell_offsets, const int64_t* relevant_offsets,
                                 int64_t batches, int64_t limit, int64_t* flag_offsets) {
  bool too_many = false;
  flag_offsets[0] = 0;
  for (int64_t b = 0; b < batches; ++b) {
    if (cell_offsets[b + 1] <= cell_offsets[b] || relevant_offsets[b + 1] < relevant_offsets[b])
      return FlagOffsetWalk::kEmptyBatch;
    // Both differences are positive (or zero) and fit in 64 unsigned bits.
    const uint64_t nc = uint64_t(cell_offsets[b + 1]) - uint64_t(cell_offsets[b]);
    const uint64_t ng = uint64_t(relevant_offsets[b + 1]) - uint64_t(relevant_offsets[b]);
    uint64_t block, total;
    if (__builtin_mul_overflow(nc, ng, &block) ||
        __builtin_add_overflow(uint64_t(flag_offsets[b]), block, &total) ||
        total > uint64_t(limit)) {
      too_many = true;
      total = uint64_t(limit);  // later offsets stay meaningless but in range
    }
    flag_offsets[b + 1] = int64_t(total);
  }
  return too_many ? FlagOffsetWalk::kTooManyFlags : FlagOffsetWalk::kValid;
}

}  // namespace zet
