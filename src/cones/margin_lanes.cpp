// The lane margins behind margin_lanes.h, compiled once per lane width (see runtime/lanes.h).
#include <cmath>
#include <cstdint>

#include "cones/cone_margin.h"
#include "cones/margin_lanes.h"
#include "runtime/lanes.h"

namespace zet {
namespace {

struct MarginLanes {
  // Below this many directions the rows go margin by margin through `one`.
  static constexpr int64_t kFewDirections = kLanes / 2 + 1;

  struct Directions {
    Real x, y, z;
  };

  static Real dot(const double* a, const Directions& u) {
    return a[0] * u.x + a[1] * u.y + a[2] * u.z;
  }

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

  // kLanes consecutive slots of a (slots x 3) array, coordinate by coordinate, and their
  // live lanes. A partial vector (count < kLanes) repeats its last slot in dead lanes.
  struct Slots {
    Real x, y, z;
  };
  static Slots slots(const double* a) {
    Slots s;
    for (int l = 0; l < kLanes; ++l) {
      s.x[l] = a[3 * l];
      s.y[l] = a[3 * l + 1];
      s.z[l] = a[3 * l + 2];
    }
    return s;
  }
  static Slots partial_slots(const double* a, int64_t count) {
    Slots s;
    for (int l = 0; l < kLanes; ++l) {
      const double* p = a + 3 * (l < count ? l : count - 1);
      s.x[l] = p[0];
      s.y[l] = p[1];
      s.z[l] = p[2];
    }
    return s;
  }
  static Mask live_slots(const uint8_t* live) {
    Mask m;
    for (int l = 0; l < kLanes; ++l) m[l] = live[l];
    return m != 0;
  }
  static Mask partial_live_slots(const uint8_t* live, int64_t count) {
    Mask m;
    for (int l = 0; l < kLanes; ++l) m[l] = l < count ? live[l] : 0;
    return m != 0;
  }
  static Real dot(const Slots& a, const double u[3]) {
    return a.x * u[0] + a.y * u[1] + a.z * u[2];
  }

  // The generator and wedge candidates of kLanes slots folded into the lanes' smallest.
  static Real generator_candidates(const Slots& a, const Mask& live, const double u[3],
                                   const Real& value) {
    const Real d = dot(a, u);
    const Real square = 1.0 - d * d;
    const Real root = lane_sqrt(square > 0.0 ? square : splat(0.0));
    const Real candidate = d >= 0 ? root : splat(1.0);
    return live & (candidate < value) ? candidate : value;
  }
  static Real wedge_candidates(const Slots& plane, const Slots& first, const Slots& second,
                               const Mask& live, const double u[3], const Real& value) {
    const Mask between = (dot(first, u) >= 0) & (dot(second, u) >= 0);
    const Real candidate = lane_abs(dot(plane, u));
    return live & between & (candidate < value) ? candidate : value;
  }

  // distance_outside of group_margin for one direction, kLanes generator or wedge slots at a
  // time. Every candidate is a non-negative number or NaN, never -0, and NaN candidates are
  // skipped, so the smallest of them is the same whichever order the slots are taken in: the
  // lanes keep the smallest of their own slots and the lanes' smallest is the scalar loop's.
  static double distance_outside_slots(const MarginContext& c, const double u[3], int64_t g) {
    Real value = splat(INFINITY);
    const double* generators = c.generators + 3 * c.K * g;
    const uint8_t* generator_live = c.generator_mask + c.K * g;
    int64_t k = 0;
    for (; k + kLanes <= c.K; k += kLanes)
      value =
          generator_candidates(slots(generators + 3 * k), live_slots(generator_live + k), u, value);
    if (k < c.K)
      value = generator_candidates(partial_slots(generators + 3 * k, c.K - k),
                                   partial_live_slots(generator_live + k, c.K - k), u, value);
    const int64_t first = 3 * c.W * g;
    const uint8_t* wedge_live = c.wedge_mask + c.W * g;
    int64_t w = 0;
    for (; w + kLanes <= c.W; w += kLanes) {
      const int64_t at = first + 3 * w;
      value = wedge_candidates(slots(c.wedge_planes + at), slots(c.wedge_first + at),
                               slots(c.wedge_second + at), live_slots(wedge_live + w), u, value);
    }
    if (w < c.W) {
      const int64_t at = first + 3 * w, count = c.W - w;
      value = wedge_candidates(partial_slots(c.wedge_planes + at, count),
                               partial_slots(c.wedge_first + at, count),
                               partial_slots(c.wedge_second + at, count),
                               partial_live_slots(wedge_live + w, count), u, value);
    }
    double smallest = value[0];
    for (int l = 1; l < kLanes; ++l) smallest = value[l] < smallest ? value[l] : smallest;
    return smallest;
  }

  // group_margin's facet value f of one direction, and whether any facet slot is live. Each
  // lane keeps the first largest of its own slots (NaN skipped); a largest value other than
  // zero has one set of bits, so any lane holding it gives the scalar loop's f. A largest
  // zero may be -0 or +0, and the scalar loop keeps the first of them in slot order, so that
  // case is settled by the scalar loop itself.
  static double facet_value(const MarginContext& c, const double u[3], int64_t g, bool& any) {
    const double* facets = c.facets + 3 * c.F * g;
    const uint8_t* facet_live = c.facet_mask + c.F * g;
    Real f = splat(-INFINITY);
    Mask live_any{};
    int64_t s = 0;
    for (; s + kLanes <= c.F; s += kLanes) {
      const Mask live = live_slots(facet_live + s);
      const Real d = dot(slots(facets + 3 * s), u);
      f = live & (d > f) ? d : f;
      live_any |= live;
    }
    if (s < c.F) {
      const Mask live = partial_live_slots(facet_live + s, c.F - s);
      const Real d = dot(partial_slots(facets + 3 * s, c.F - s), u);
      f = live & (d > f) ? d : f;
      live_any |= live;
    }
    any = lane_bits(live_any) != 0;
    double largest = f[0];
    for (int l = 1; l < kLanes; ++l) largest = f[l] > largest ? f[l] : largest;
    if (largest != 0) return largest;
    largest = -INFINITY;
    for (int64_t k = 0; k < c.F; ++k) {
      if (facet_live[k] == 0) continue;
      const double* a = facets + 3 * k;
      const double d = a[0] * u[0] + a[1] * u[1] + a[2] * u[2];
      if (d > largest) largest = d;
    }
    return largest;
  }

  // Asks the caches for a group's arrays ahead of its margins: a margin of one direction
  // reads some 3 KB of a group once, and waiting for them costs more than computing it.
  static void fetch_range(const void* begin, int64_t bytes) {
    const char* p = static_cast<const char*>(begin);
    for (int64_t at = 0; at < bytes; at += 64) __builtin_prefetch(p + at);
  }
  static void fetch_group(const MarginContext& c, int64_t g) {
    fetch_range(c.facets + 3 * c.F * g, 24 * c.F);
    fetch_range(c.generators + 3 * c.K * g, 24 * c.K);
    fetch_range(c.wedge_first + 3 * c.W * g, 24 * c.W);
    fetch_range(c.wedge_second + 3 * c.W * g, 24 * c.W);
    fetch_range(c.wedge_planes + 3 * c.W * g, 24 * c.W);
  }

  // group_margin of one direction, its facet, generator and wedge slots on the lanes.
  static double one(const MarginContext& c, const double u[3], int64_t g) {
    const double shift = c.shifts[g] + c.common_shift;
    if (c.blocks_all[g] != 0) return -1.0 - shift;
    bool any_facet = false;
    const double f = facet_value(c, u, g, any_facet);
    if (c.kinds[g] != 0 || (any_facet && f <= 0)) return f - shift;
    return distance_outside_slots(c, u, g) - shift;
  }

  static void rows(const MarginContext& c, int64_t a_begin, int64_t a_end, int64_t b_begin,
                   int64_t b_end) {
    // Too few directions to fill the lanes: each margin takes its slots on the lanes instead.
    if (a_end - a_begin < kFewDirections) {
      for (int64_t j = b_begin; j < b_end; ++j) {
        if (j + 1 < b_end) fetch_group(c, c.selected[j + 1]);
        for (int64_t i = a_begin; i < a_end; ++i)
          c.output[c.S * i + j] = one(c, c.directions + 3 * i, c.selected[j]);
      }
      return;
    }
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
          const int live =
              static_cast<int>(tile - v * kLanes < kLanes ? tile - v * kLanes : kLanes);
          for (int l = 0; l < live; ++l) c.output[c.S * (i0 + v * kLanes + l) + j] = m[l];
        }
      }
    }
  }
};

}  // namespace
}  // namespace zet

namespace zet {

void ZET_LANE_ENTRY(margin_rows)(const MarginContext& context, int64_t a_begin, int64_t a_end,
                                 int64_t b_begin, int64_t b_end) {
  MarginLanes::rows(context, a_begin, a_end, b_begin, b_end);
}

double ZET_LANE_ENTRY(group_margin)(const MarginContext& context, const double u[3], int64_t g) {
  return MarginLanes::one(context, u, g);
}

}  // namespace zet
