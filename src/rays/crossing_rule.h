// The numbers and the rule that decide whether a ray meets a triangle, one copy for the scalar
// walks and for every lane build: the same ray must hit, miss or be ambiguous whichever build
// the processor runs. Everything here has internal linkage, so a lane build's copy is never
// the one the linker keeps for the scalar code (see runtime/lanes.h).
#pragma once

#include "rays/ray_winding.h"

namespace zet {

// Ray hits. A triangle whose |det| is within this fraction of |e1| |e2| is parallel to the ray
// (degenerate triangles included) and is never hit.
constexpr double kHitParallelRatio = 1e-12;
// A hit needs u >= -slack, v >= -slack and u + v <= kHitBarycentricSum: the slack keeps a ray
// through an edge shared by two triangles from slipping between them.
constexpr double kHitBarycentricSlack = 1e-9;
constexpr double kHitBarycentricSum = 1.000000001;

// Winding crossings. A triangle within kCrossingParallel of parallel to the ray (in
// |d . unit normal|) is ambiguous, and so is a crossing whose barycentric minimum is within
// kCrossingEdge of an edge.
constexpr double kCrossingParallel = 1e-9;
constexpr double kCrossingEdge = 1e-9;

namespace {

// classify_prepared's rule for the ray p + t d, written out component by component (the same
// products in the same order as the vector helpers) so that the lane builds can inline it.
inline Crossing classify_prepared_rule(const double p[3], const double d[3],
                                       const PreparedCrossing& c, double origin_tolerance) {
  const double sx = p[0] - c.v0.x, sy = p[1] - c.v0.y, sz = p[2] - c.v0.z;
  const double u = (sx * c.q.x + sy * c.q.y + sz * c.q.z) * c.inv_det;
  const double wx = sy * c.e1.z - sz * c.e1.y, wy = sz * c.e1.x - sx * c.e1.z,
               wz = sx * c.e1.y - sy * c.e1.x;
  const double v = (d[0] * wx + d[1] * wy + d[2] * wz) * c.inv_det;
  const double t = (c.e2.x * wx + c.e2.y * wy + c.e2.z * wz) * c.inv_det;
  // The barycentric minimum m is NaN when any of the three is, and then nothing holds;
  // 1 - u - v is NaN whenever u or v is, so it alone tells.
  const double rest = 1.0 - u - v;
  const double uv = u < v ? u : v;
  const double m = uv < rest ? uv : rest;
  const bool ordered = rest == rest;
  if (ordered & (m > kCrossingEdge) & (t > origin_tolerance))
    return c.against_normal ? Crossing::kAgainstNormal : Crossing::kAlongNormal;
  if (ordered & (m >= -kCrossingEdge) & (t >= -origin_tolerance)) return Crossing::kAmbiguous;
  return Crossing::kNone;
}

}  // namespace
}  // namespace zet
