#include "cones/cap_bound.h"

#include <cmath>
#include <limits>
#include <numbers>

#include "runtime/float_order.h"

namespace zet {
namespace {

constexpr double kCapFloor = 1e-9;  // caps of 90 degrees or more bound nothing
constexpr double kQuarterTurn = std::numbers::pi / 2;

// acos of a cosine clamped to [-1, 1]; a NaN cosine stays NaN.
inline double clamped_acos(double cosine) {
  return std::acos(min_as_written(1.0, max_as_written(-1.0, cosine)));
}

}  // namespace

double cap_half_angle(const CapArrays& caps, int64_t g) { return clamped_acos(caps.cap_cos[g]); }

double cap_lower_bound(const CapArrays& caps, const double u[3], int64_t g, double rho,
                       double alpha) {
  double v = -std::numeric_limits<double>::infinity();
  if (caps.cap_cos[g] > kCapFloor && caps.blocks_all[g] == 0) {
    const double* axis = caps.cap_axes + 3 * g;
    const double theta = clamped_acos(axis[0] * u[0] + axis[1] * u[1] + axis[2] * u[2]);
    const double x = theta - rho - alpha;
    v = x > 0 ? std::sin(min_as_written(x, kQuarterTurn)) : -1.0;  // a NaN x gives -1
  }
  return v - (caps.shifts[g] + caps.common_shift);
}

}  // namespace zet
