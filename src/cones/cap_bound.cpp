#include "cones/cap_bound.h"

#include <cmath>
#include <limits>
#include <numbers>

#include "runtime/float_order.h"

namespace zet {
namespace {

constexpr double kCapFloor = 1e-9;  // caps of 90 degrees or more bound nothing
constexpr double kQuarterTurn = std::numbers::pi / 2;
// What the bound is once x reaches the quarter turn, from the same sin as every other value.
const double kSinQuarterTurn = std::sin(kQuarterTurn);

// Distance in cosine kept from the edges of the certain outcomes. It dwarfs every rounding
// of the thresholds (a few 1e-16) and any error of a usable acos (far below 1e-12).
constexpr double kCertainMargin = 1e-9;
constexpr double kShortcutLimit = 1.5;  // largest rho + alpha whose quarter-turn test holds
// rho + alpha from which x = theta - rho - alpha stays below the quarter turn for every theta
// in [0, pi] (with room for the roundings of x), and the largest one whose estimate is used.
constexpr double kPastQuarterTurn = 1.58;
constexpr double kEstimateLimit = 3.1;

// A cosine clamped to [-1, 1]; a NaN cosine stays NaN.
inline double clamp_cosine(double cosine) {
  return min_as_written(1.0, max_as_written(-1.0, cosine));
}

// The outcome of the bound where it does not need acos and sin: x <= 0 (bound -1) or
// x >= pi/2 (bound sin(pi/2)), for the clamped cosine c of the direction with the axis.
//
// With s = rho + alpha in [0, pi] and any c >= cos(s) + m, acos(c) <= s - m, since acos falls
// at least as fast as its argument rises; the computed theta is then below rho + alpha, and
// the roundings of (theta - rho) - alpha, being monotone, cannot lift x above 0. Likewise
// c <= cos(s + pi/2) - m = -sin(s) - m with s <= pi/2 gives acos(c) >= s + pi/2 + m, and x is
// at least the double pi/2. cos(s) and sin(s) come from cos and sin of rho and of alpha,
// accurate to a few 1e-16 against m = 1e-9. A NaN anywhere fails both tests.
enum class Outcome { kOpen, kBelow, kBeyond };
inline Outcome certain_outcome(double c, const CapAngle& cap, const AngularRadius& r) {
  if (c >= cap.cos * r.cos - cap.sin * r.sin + kCertainMargin) return Outcome::kBelow;
  const bool beyond_proven = cap.rho + r.alpha <= kShortcutLimit;
  if (beyond_proven && c <= -(cap.sin * r.cos + cap.cos * r.sin) - kCertainMargin)
    return Outcome::kBeyond;
  return Outcome::kOpen;
}

// The open part of the bound, sin(theta - s) with theta = acos(c) and s = rho + alpha, from
// the sines and cosines alone: sin(theta) cos(s) - c sin(s). Each factor is within a few
// 1e-16 of its value, and so is the computed bound of the formula (acos, the two
// subtractions and sin each add a rounding or a usable library's error, and sin is
// 1-Lipschitz), so the two lie within about 1e-14 of each other, far inside kCertainMargin.
// Valid only where x certainly lies strictly between 0 and pi/2 (see cap_lower_bound_range).
inline double open_bound_estimate(double c, double cos_s, double sin_s) {
  return std::sqrt((1.0 - c) * (1.0 + c)) * cos_s - c * sin_s;
}

}  // namespace

AngularRadius angular_radius(double alpha) {
  const bool shortcut = alpha >= 0.0 && alpha <= kShortcutLimit;
  return {alpha, shortcut ? std::cos(alpha) : 1.0, shortcut ? std::sin(alpha) : 0.0, shortcut};
}

CapAngle cap_angle(const CapArrays& caps, int64_t g) {
  const double cosine = clamp_cosine(caps.cap_cos[g]);
  // (1 - c)(1 + c) keeps its relative accuracy where 1 - c * c would not, near c = 1.
  return {std::acos(cosine), cosine, std::sqrt((1.0 - cosine) * (1.0 + cosine))};
}

double cap_lower_bound(const CapArrays& caps, const double u[3], int64_t g, const CapAngle& cap,
                       const AngularRadius& radius) {
  double v = -std::numeric_limits<double>::infinity();
  if (caps.cap_cos[g] > kCapFloor && caps.blocks_all[g] == 0) {
    const double* axis = caps.cap_axes + 3 * g;
    const double c = clamp_cosine(axis[0] * u[0] + axis[1] * u[1] + axis[2] * u[2]);
    const Outcome known = radius.shortcut ? certain_outcome(c, cap, radius) : Outcome::kOpen;
    if (known == Outcome::kBelow) {
      v = -1.0;
    } else if (known == Outcome::kBeyond) {
      v = kSinQuarterTurn;
    } else {
      const double x = std::acos(c) - cap.rho - radius.alpha;
      v = x > 0 ? std::sin(min_as_written(x, kQuarterTurn)) : -1.0;  // a NaN x gives -1
    }
  }
  return v - (caps.shifts[g] + caps.common_shift);
}

}  // namespace zet

namespace zet {

CapBoundRange cap_lower_bound_range(const CapArrays& caps, const double u[3], int64_t g,
                                    const CapAngle& cap, const AngularRadius& radius) {
  const double s = cap.rho + radius.alpha;
  if (caps.cap_cos[g] > kCapFloor && caps.blocks_all[g] == 0 && radius.shortcut &&
      s <= kEstimateLimit) {
    const double* axis = caps.cap_axes + 3 * g;
    const double c = clamp_cosine(axis[0] * u[0] + axis[1] * u[1] + axis[2] * u[2]);
    const double cos_s = cap.cos * radius.cos - cap.sin * radius.sin;
    const double sin_s = cap.sin * radius.cos + cap.cos * radius.sin;
    // c <= cos(s) - m puts acos(c) above s by m at least (s <= pi), so x > 0. Below the quarter
    // turn, c >= -sin(s) + m = cos(s + pi/2) + m puts it below s + pi/2 by m; from the quarter
    // turn on, x <= pi - s < pi/2 whatever c is. Either way x lies strictly inside (0, pi/2),
    // where the bound is sin(x) itself. A NaN fails every test.
    const bool below_quarter_turn =
        s <= kShortcutLimit ? c >= -sin_s + kCertainMargin : s >= kPastQuarterTurn;
    if (c <= cos_s - kCertainMargin && below_quarter_turn) {
      const double estimate = open_bound_estimate(c, cos_s, sin_s);
      const double shift = caps.shifts[g] + caps.common_shift;
      // Subtracting the shift rounds monotonically, so the bounds of v stay bounds of v - shift.
      return {(estimate - kCertainMargin) - shift, (estimate + kCertainMargin) - shift};
    }
  }
  const double bound = cap_lower_bound(caps, u, g, cap, radius);
  return {bound, bound};
}

}  // namespace zet
