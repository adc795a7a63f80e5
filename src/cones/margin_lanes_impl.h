// The lane margins behind margin_lanes.h, included only by the files compiled for one
// instruction set each (see runtime/lanes.h).
#pragma once
#include <cmath>
#include <cstdint>

#include "cones/cone_margin.h"
#include "runtime/lanes.h"

namespace zet {
namespace {

struct MarginLanes {

  struct Directions {
    Real x, y, z;
  };

  static Real dot(const double* a, const Directions& u) { return a[0] * u.x + a[1] * u.y + a[2] * u.z; }

  // distance_outside of group_margin, lane by lane.
  static Real distance_outside(const MarginContext& c, const Directions& u, int64_t g) {
    Real value = splat(INFINITY);
    const double* generators = c.generators + 3 * c.K * g;
    const uint8_t* generator_live = c.generator_mask + c.K * g;
    for (int64_t k = 0; k < c.K; ++k) {
      if (generator_live[k] == 0) continue;
      const Real d = dot(generators + 3 * k, u);
      const Real square = 1.0 - d * d;
      const Real root = lane_sqrt(square > 0.0 ? square : splat(0.0));
      const Real candidate = d >= 0 ? root : splat(1.0);
      value = candidate < value ? candidate : value;  // a NaN candidate is skipped
    }
    const int64_t first = 3 * c.W * g;
    const uint8_t* wedge_live = c.wedge_mask + c.W * g;
    for (int64_t w = 0; w < c.W; ++w) {
      if (wedge_live[w] == 0) continue;
      const int64_t at = first + 3 * w;
      const Mask between = (dot(c.wedge_first + at, u) >= 0) & (dot(c.wedge_second + at, u) >= 0);
      const Real candidate = lane_abs(dot(c.wedge_planes + at, u));
      value = between & (candidate < value) ? candidate : value;
    }
    return value;
  }

  // group_margin of the lanes' directions against group g.
  static Real margin(const MarginContext& c, const Directions& u, int64_t g) {
    const double shift = c.shifts[g] + c.common_shift;
    if (c.blocks_all[g] != 0) return splat(-1.0 - shift);
    Real f = splat(-INFINITY);
    bool any_facet = false;
    const double* facets = c.facets + 3 * c.F * g;
    const uint8_t* facet_live = c.facet_mask + c.F * g;
    for (int64_t s = 0; s < c.F; ++s) {
      if (facet_live[s] == 0) continue;
      any_facet = true;
      const Real d = dot(facets + 3 * s, u);
      f = d > f ? d : f;  // a NaN leaves f unchanged
    }
    if (c.kinds[g] != 0) return f - shift;
    const Mask inside = any_facet ? Mask(f <= 0) : Mask{};
    if (lane_bits(inside) == (1u << kLanes) - 1) return f - shift;
    const Real outside = distance_outside(c, u, g);
    return (inside ? f : outside) - shift;
  }

  static void rows(const MarginContext& c, int64_t a_begin, int64_t a_end, int64_t b_begin,
                   int64_t b_end) {
    // Tiles of directions by groups, as margin_rows; the lanes take kLanes directions of a tile.
    constexpr int kVectors = 4;
    for (int64_t i0 = a_begin; i0 < a_end; i0 += kVectors * kLanes) {
      const int64_t tile = a_end - i0 < kVectors * kLanes ? a_end - i0 : kVectors * kLanes;
      const int vectors = static_cast<int>((tile + kLanes - 1) / kLanes);
      Directions u[kVectors];
      for (int v = 0; v < vectors; ++v)
        for (int l = 0; l < kLanes; ++l) {
          const int64_t i = i0 + (v * kLanes + l < tile ? v * kLanes + l : tile - 1);
          u[v].x[l] = c.directions[3 * i];
          u[v].y[l] = c.directions[3 * i + 1];
          u[v].z[l] = c.directions[3 * i + 2];
        }
      for (int64_t j = b_begin; j < b_end; ++j) {
        const int64_t g = c.selected[j];
        for (int v = 0; v < vectors; ++v) {
          const Real m = margin(c, u[v], g);
          const int live = static_cast<int>(tile - v * kLanes < kLanes ? tile - v * kLanes : kLanes);
          for (int l = 0; l < live; ++l) c.output[c.S * (i0 + v * kLanes + l) + j] = m[l];
        }
      }
    }
  }
};

}  // namespace
}  // namespace zet
