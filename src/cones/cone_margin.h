#pragma once
#include <cstdint>
namespace zet {
// Read-only inputs of margin evaluations; directions/selected/output are used by the
// (N, S) grid of cone_margins and may be left null by other callers.
struct MarginContext {
  const double* directions;       // N x 3
  const int64_t* selected;        // S
  const int8_t* kinds;            // G
  const double* generators;       // G x K x 3
  const double* facets;           // G x F x 3
  const double* shifts;           // G
  const double* wedge_planes;     // G x W x 3
  const double* wedge_first;      // G x W x 3
  const double* wedge_second;     // G x W x 3
  const uint8_t* generator_mask;  // G x K
  const uint8_t* facet_mask;      // G x F
  const uint8_t* blocks_all;      // G
  const uint8_t* wedge_mask;      // G x W
  int64_t S, K, F, W;
  double common_shift;
  double* output;  // N x S
};
// The margin of direction u against group g.
double group_margin(const MarginContext& context, const double u[3], int64_t g);
// The same margin, through the widest lane build this processor runs (for callers that
// evaluate margins one at a time).
double group_margin_on_lanes(const MarginContext& context, const double u[3], int64_t g);
// Margins of directions [a_begin, a_end) against selections [b_begin, b_end) into output.
void margin_rows(const MarginContext& context, int64_t a_begin, int64_t a_end, int64_t b_begin,
                 int64_t b_end);
}  // namespace zet
