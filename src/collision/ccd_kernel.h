// Continuous collision of a translating triangle with a fixed one: a separating-axis test
// over at most 17 axes, with a tolerance-widened contact window and an exact strict window.
// Pure functions over plain arrays: no allocation and no shared state, so any number of
// threads may call them at once.
#pragma once
#include <cstdint>

namespace zet {

// Outcome codes of translating_triangle_ccd.
enum CcdReason : int32_t {
  kCcdOk = 0,
  kCcdMovingDegenerate = 1,
  kCcdObstacleDegenerate = 2,
  kCcdNoAxis = 3,
  kCcdSeparatedStaticAxis = 4,
  kCcdSeparatedWindow = 5,
  kCcdUntestedAxes = 6,
};

enum CcdStatus : int32_t { kCcdContact = 0, kCcdSeparated = 1, kCcdUncertain = 2 };

// Fields in the order of the batch result tuple. Each outcome overwrites only its own
// fields; the others keep the initial values (status 2, window [t0, t1], strict 0,
// strict window [t0, t1], counts 0, reason 1).
struct TriangleCcdResult {
  int32_t status;
  double enter, exit;  // contact window, widened by the tolerance
  int32_t strict;      // 1 when the exact projections overlap over a non-empty window
  double strict_enter, strict_exit;
  int32_t axis_count;    // axes in the list, or 1-based position of the separating axis
  int32_t skipped_axes;  // candidates rejected as too close to parallel
  int32_t reason;
};

// True when the triangle's longest edge is not longer than abs_tol, or its doubled area is
// within max(L, abs_tol) * abs_tol + rel_tol * L^2 of zero.
bool triangle_is_degenerate(const double triangle[9], double abs_tol, double rel_tol);

// moving and obstacle are three vertices (x, y, z each); the moving triangle is at
// p + t * velocity for t in [t0, t1] (callers pass t0 <= t1).
TriangleCcdResult translating_triangle_ccd(const double moving[9], const double obstacle[9],
                                           const double velocity[3], double t0, double t1,
                                           double abs_tol, double rel_tol, double sin_tol);

}  // namespace zet
