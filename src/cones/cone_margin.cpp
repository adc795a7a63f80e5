#include "cones/cone_margin.h"

#include <cmath>
#include <limits>

#include "cones/margin_lanes.h"
#include "runtime/cpu_lanes.h"

namespace zet {
namespace {

inline double dot(const double* a, const double u[3]) {
  return a[0] * u[0] + a[1] * u[1] + a[2] * u[2];
}

// Distance from a unit u to the cone outside it: the nearest generator ray or wedge over it.
double distance_outside(const MarginContext& c, const double u[3], int64_t g) {
  double value = std::numeric_limits<double>::infinity();
  const double* generators = c.generators + 3 * c.K * g;
  const uint8_t* generator_live = c.generator_mask + c.K * g;
  for (int64_t k = 0; k < c.K; ++k) {
    if (generator_live[k] == 0) continue;
    const double d = dot(generators + 3 * k, u);
    double candidate = 1.0;
    if (d >= 0) {
      const double square = 1.0 - d * d;
      candidate = std::sqrt(square > 0.0 ? square : 0.0);
    }
    if (candidate < value) value = candidate;  // a NaN candidate is skipped
  }
  const int64_t first = 3 * c.W * g;
  const uint8_t* wedge_live = c.wedge_mask + c.W * g;
  for (int64_t w = 0; w < c.W; ++w) {
    if (wedge_live[w] == 0) continue;
    const int64_t at = first + 3 * w;
    if (!(dot(c.wedge_first + at, u) >= 0) || !(dot(c.wedge_second + at, u) >= 0)) continue;
    const double candidate = std::fabs(dot(c.wedge_planes + at, u));
    if (candidate < value) value = candidate;
  }
  return value;
}

}  // namespace

double group_margin(const MarginContext& c, const double u[3], int64_t g) {
  const double shift = c.shifts[g] + c.common_shift;
  // A whole-space group is -1 whatever the rest gives, so the rest is not computed.
  if (c.blocks_all[g] != 0) return -1.0 - shift;
  double f = -std::numeric_limits<double>::infinity();
  bool any_facet = false;
  const double* facets = c.facets + 3 * c.F * g;
  const uint8_t* facet_live = c.facet_mask + c.F * g;
  for (int64_t s = 0; s < c.F; ++s) {
    if (facet_live[s] == 0) continue;
    any_facet = true;
    const double d = dot(facets + 3 * s, u);
    if (d > f) f = d;  // a NaN leaves f unchanged
  }
  double value;
  if (c.kinds[g] != 0 || (any_facet && f <= 0)) {
    value = f;
  } else {
    value = distance_outside(c, u, g);
  }
  return value - shift;
}

namespace {

using RowsKernel = void (*)(const MarginContext&, int64_t, int64_t, int64_t, int64_t);

void margin_rows_one_by_one(const MarginContext& c, int64_t a_begin, int64_t a_end, int64_t b_begin,
                            int64_t b_end) {
  // Tiles of directions by groups: a group's generators, facets and wedges (some 3 KB) stay
  // in the nearest cache while a tile's directions use them, instead of every direction
  // streaming through all the groups. Each entry is computed alone, so the order is free.
  constexpr int64_t kTileDirections = 32;
  for (int64_t i0 = a_begin; i0 < a_end; i0 += kTileDirections) {
    const int64_t i1 = i0 + kTileDirections < a_end ? i0 + kTileDirections : a_end;
    for (int64_t j = b_begin; j < b_end; ++j) {
      const int64_t g = c.selected[j];
      for (int64_t i = i0; i < i1; ++i) {
        const double u[3] = {c.directions[3 * i], c.directions[3 * i + 1], c.directions[3 * i + 2]};
        c.output[c.S * i + j] = group_margin(c, u, g);
      }
    }
  }
}

}  // namespace

double group_margin_on_lanes(const MarginContext& c, const double u[3], int64_t g) {
  using OneKernel = double (*)(const MarginContext&, const double*, int64_t);
  static const OneKernel kernel = widest_build<OneKernel>(
      group_margin, ZET_LANE_BUILD(group_margin_avx2), ZET_LANE_BUILD(group_margin_avx512));
  return kernel(c, u, g);
}

void margin_rows(const MarginContext& c, int64_t a_begin, int64_t a_end, int64_t b_begin,
                 int64_t b_end) {
  static const RowsKernel kernel = widest_build<RowsKernel>(
      margin_rows_one_by_one, ZET_LANE_BUILD(margin_rows_avx2), ZET_LANE_BUILD(margin_rows_avx512));
  kernel(c, a_begin, a_end, b_begin, b_end);
}

}  // namespace zet
