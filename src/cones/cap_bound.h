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

// An angular radius with its cosine and sine, which let cap_lower_bound settle the bound
// without acos and sin wherever the outcome is certain.
struct AngularRadius {
  double alpha;
  double cos, sin;
  bool shortcut;  // alpha in [0, 1.5]: the range where the certain outcomes are proven
};
AngularRadius angular_radius(double alpha);
// The radius for a row of `count` bounds: without the shortcut when the row is too short to
// repay its cos and sin.
inline AngularRadius row_radius(double alpha, int64_t count) {
  return count >= 8 ? angular_radius(alpha) : AngularRadius{alpha, 1.0, 0.0, false};
}
// Radius 0, as used at cell centers.
inline constexpr AngularRadius kNoRadius{0.0, 1.0, 0.0, true};

// A group's cap half-angle rho = acos(min(1, max(-1, cap_cos[g]))) with its cosine (the
// clamped cap cosine) and sine (from the cosine, without acos), for the shortcut.
struct CapAngle {
  double rho, cos, sin;
};
CapAngle cap_angle(const CapArrays& caps, int64_t g);

// The cap lower bound of direction u against group g, whose angle is cap_angle(caps, g), with
// an angular radius.
double cap_lower_bound(const CapArrays& caps, const double u[3], int64_t g, const CapAngle& cap,
                       const AngularRadius& radius);

// Two doubles around cap_lower_bound: lo <= bound <= hi, and lo = hi = the bound itself
// wherever they are not found without acos and sin. For callers that only compare the bound
// with a level: comparisons that lo and hi settle need neither.
struct CapBoundRange {
  double lo, hi;
};
CapBoundRange cap_lower_bound_range(const CapArrays& caps, const double u[3], int64_t g,
                                    const CapAngle& cap, const AngularRadius& radius);

// level > cap_lower_bound(...), the bound computed only where its range leaves it open.
inline bool above_cap_lower_bound(double level, const CapArrays& caps, const double u[3], int64_t g,
                                  const CapAngle& cap, const AngularRadius& radius) {
  const CapBoundRange range = cap_lower_bound_range(caps, u, g, cap, radius);
  if (level > range.hi) return true;
  if (!(level > range.lo)) return false;
  return level > cap_lower_bound(caps, u, g, cap, radius);
}

// cap_lower_bound(...) >= level, likewise.
inline bool cap_lower_bound_reaches(double level, const CapArrays& caps, const double u[3],
                                    int64_t g, const CapAngle& cap, const AngularRadius& radius) {
  const CapBoundRange range = cap_lower_bound_range(caps, u, g, cap, radius);
  if (range.lo >= level) return true;
  if (!(range.hi >= level)) return false;
  return cap_lower_bound(caps, u, g, cap, radius) >= level;
}

}  // namespace zet
