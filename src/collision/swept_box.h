// Swept box test: can a box translating by t * velocity meet a fixed box for some t in
// [t_lo, t_hi], and within which sub-window? Used by the path query on node and triangle
// boxes and by the clearance traversal, which widens the obstacle box by its clearance.
#pragma once
#include <cmath>

#include "runtime/float_order.h"

namespace zet {

struct SweptBoxParams {
  const double* velocity;  // 3
  double box_tol;          // added on every side of both boxes
  double box_static;       // a velocity component of at most this size counts as zero
  double margin;           // added on every side of the obstacle box only
};

// On a hit returns true and narrows [*lo, *hi] (which the caller sets to [t_lo, t_hi]).
inline bool swept_box(const double* moving_min, const double* moving_max,
                      const double* obstacle_min, const double* obstacle_max,
                      const SweptBoxParams& p, double t_lo, double t_hi, double* lo, double* hi) {
  double w_lo = t_lo, w_hi = t_hi;
  for (int d = 0; d < 3; ++d) {
    const double b_lo = obstacle_min[d] - p.margin - p.box_tol;
    const double b_hi = obstacle_max[d] + p.margin + p.box_tol;
    const double a_lo = moving_min[d] - p.box_tol;
    const double a_hi = moving_max[d] + p.box_tol;
    const double v = p.velocity[d];
    if (std::fabs(v) <= p.box_static) {
      // Static axis: the box still drifts by v * t over the whole argument interval.
      const double s_lo = v * t_lo, s_hi = v * t_hi;
      const double d_min = s_lo < s_hi ? s_lo : s_hi;
      const double d_max = s_lo < s_hi ? s_hi : s_lo;
      if (b_lo > a_hi + d_max || a_lo + d_min > b_hi) return false;
      continue;
    }
    const double ta = (b_lo - a_hi) / v, tb = (b_hi - a_lo) / v;
    w_lo = max_as_written(w_lo, min_as_written(ta, tb));
    w_hi = min_as_written(w_hi, max_as_written(ta, tb));
    if (w_lo > w_hi) return false;
  }
  *lo = w_lo;
  *hi = w_hi;
  return true;
}

}  // namespace zet
