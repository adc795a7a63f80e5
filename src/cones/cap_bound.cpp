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

// acos of a cosine clamped to [-1, 1]; a NaN cosine stays NaN.
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
// at least the double pi/2. cos(s) and sin(s) come from cos and sin of rho (from the clamped
// cap cosine, without acos) and of alpha, accurate to a few 1e-16 against m = 1e-9. A NaN
// anywhere fails both tests.
enum class Outcome { kOpen, kBelow, kBeyond };
inline Outcome certain_outcome(double c, double cap_cos, double rho, const AngularRadius& r) {
  const double cos_rho = clamp_cosine(cap_cos);
  const double sin_rho = std::sqrt((1.0 - cos_rho) * (1.0 + cos_rho));
  if (c >= cos_rho * r.cos - sin_rho * r.sin + kCertainMargin) return Outcome::kBelow;
  if (rho + r.alpha <= kShortcutLimit && c <= -(sin_rho * r.cos + cos_rho * r.sin) - kCertainMargin)
    return Outcome::kBeyond;
  return Outcome::kOpen;
}

}  // namespace

AngularRadius angular_radius(double alpha) {
  const bool shortcut = alpha >= 0.0 && alpha <= kShortcutLimit;
  return {alpha, shortcut ? std::cos(alpha) : 1.0, shortcut ? std::sin(alpha) : 0.0, shortcut};
}

double cap_half_angle(const CapArrays& caps, int64_t g) {
  return std::acos(clamp_cosine(caps.cap_cos[g]));
}

double cap_lower_bound(const CapArrays& caps, const double u[3], int64_t g, double rho,
                       const AngularRadius& radius) {
  double v = -std::numeric_limits<double>::infinity();
  if (caps.cap_cos[g] > kCapFloor && caps.blocks_all[g] == 0) {
    const double* axis = caps.cap_axes + 3 * g;
    const double c = clamp_cosine(axis[0] * u[0] + axis[1] * u[1] + axis[2] * u[2]);
    const Outcome known =
        radius.shortcut ? certain_outcome(c, caps.cap_cos[g], rho, radius) : Outcome::kOpen;
    if (known == Outcome::kBelow) {
      v = -1.0;
    } else if (known == Outcome::kBeyond) {
      v = kSinQuarterTurn;
    } else {
      const double x = std::acos(c) - rho - radius.alpha;
      v = x > 0 ? std::sin(min_as_written(x, kQuarterTurn)) : -1.0;  // a NaN x gives -1
    }
  }
  return v - (caps.shifts[g] + caps.common_shift);
}

}  // namespace zet
