#include "cones/cone_wedges.h"

#include <cmath>

#include "runtime/parallel_for.h"

namespace zet {
namespace {

constexpr double kWedgeFloor = 1e-12;
constexpr int64_t kConeWedgeGrain = 512;

void cross(const double a[3], const double b[3], double out[3]) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

}  // namespace

void cone_wedge_rows(const ConeWedgeJob& job, int64_t begin, int64_t end) {
  const int64_t k_count = job.slots;
  for (int64_t g = begin; g < end; ++g) {
    const double* generators = job.generators + 3 * k_count * g;
    const uint8_t* live = job.mask + k_count * g;
    int64_t at = job.wedges * g;
    for (int64_t i = 0; i < k_count; ++i) {
      for (int64_t j = i + 1; j < k_count; ++j, ++at) {
        const double* a = generators + 3 * i;
        const double* b = generators + 3 * j;
        double n[3];
        cross(a, b, n);
        const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        // An unusable wedge keeps its raw cross product (divided by 1).
        const bool usable = live[i] != 0 && live[j] != 0 && length > kWedgeFloor;
        const double divisor = usable ? length : 1.0;
        double* u = job.planes + 3 * at;
        for (int c = 0; c < 3; ++c) u[c] = n[c] / divisor;
        cross(b, u, job.first_sides + 3 * at);
        cross(u, a, job.second_sides + 3 * at);
        job.usable[at] = usable ? 1 : 0;
      }
    }
  }
}

void run_cone_wedges(const ConeWedgeJob& job, int64_t groups) {
  auto rows = [&job](int64_t begin, int64_t end, int64_t, int64_t) {
    cone_wedge_rows(job, begin, end);
  };
  for_each_range(groups, 1, kConeWedgeGrain, rows);
}

}  // namespace zet
