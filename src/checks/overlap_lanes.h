// Overlap areas of several pairs at once, one pair per vector lane. Each lane performs
// exactly the operations of the scalar clipper in the same order, so the areas are the same
// bits; only the instruction set differs. Built only on x86-64, each in a file compiled for
// its instruction set, and chosen at run time by what the processor supports.
#pragma once
#include <cstdint>

namespace zet {

// Pairs [begin, end) of the (n, 3, 2) arrays, as clipped_overlap_area_rows. 4 lanes.
void clipped_overlap_area_rows_avx2(const double* subject, const double* clip, double tolerance,
                                    double* areas, int64_t begin, int64_t end);
// The same with 8 lanes.
void clipped_overlap_area_rows_avx512(const double* subject, const double* clip, double tolerance,
                                      double* areas, int64_t begin, int64_t end);

}  // namespace zet
