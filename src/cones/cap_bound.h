#pragma once
#include <cstdint>
namespace zet {
struct CapArrays {
  const double* cap_axes;     // G x 3
  const double* cap_cos;      // G
  const uint8_t* blocks_all;  // G
  const double* shifts;       // G
  double common_shift;
};
// The cap half-angle acos(min(1, max(-1, cap_cos[g]))).
double cap_half_angle(const CapArrays& caps, int64_t g);
// The cap lower bound of direction u against group g with half-angle rho and angular radius alpha.
double cap_lower_bound(const CapArrays& caps, const double u[3], int64_t g, double rho, double alpha);
}  // namespace zet
