// The lane cone groups behind cone_group_lanes.h, compiled once per lane width (see
// runtime/lanes.h).
#include <cmath>
#include <cstdint>

#include "cones/cone_group_kernel.h"
#include "cones/cone_group_lanes.h"
#include "runtime/lanes.h"

namespace zet {
namespace {

struct ConeGroupLanes {
  static constexpr int kSlots = kConeSlots;

  struct Set {
    Real g[kSlots][3];
    Mask live[kSlots];
    Mask any_live;
  };

  static Real dot3(const Real* a, const Real* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

  static void pair_generators(const ConeGroupJob& job, const int64_t* item, Set& set) {
    Real epsilon{};
    for (int l = 0; l < kLanes; ++l) epsilon[l] = job.epsilon[item[l]];
    set.any_live = Mask{};
    for (int k = 0; k < kSlots; ++k) {
      // Gathered through plain arrays: lane stores into a vector trip -Wmaybe-uninitialized.
      double lanes[3][kLanes];
      for (int l = 0; l < kLanes; ++l) {
        const double* a = job.moving + 9 * item[l] + 3 * (k % 3);
        const double* b = job.obstacle + 9 * item[l] + 3 * (k / 3);
        for (int c = 0; c < 3; ++c) lanes[c][l] = b[c] - a[c];
      }
      Real d[3];
      __builtin_memcpy(d, lanes, sizeof d);
      const Real length = lane_sqrt(dot3(d, d));
      set.live[k] = length > epsilon;
      set.any_live |= set.live[k];
      for (int c = 0; c < 3; ++c) set.g[k][c] = set.live[k] ? d[c] / length : splat(0.0);
    }
  }

  static void input_generators(const ConeGroupJob& job, const int64_t* item, Set& set) {
    for (int k = 0; k < kSlots; ++k) {
      for (int l = 0; l < kLanes; ++l) {
        for (int c = 0; c < 3; ++c) set.g[k][c][l] = job.input_generators[27 * item[l] + 3 * k + c];
        set.live[k][l] = job.input_mask[9 * item[l] + k] != 0 ? -1 : 0;
      }
    }
    set.any_live = Mask{} - 1;
  }

  static Real column_dot(const Real* a, const Real* b) {
    Real sum{};
    for (int r = 0; r < kSlots; ++r) sum += a[r] * b[r];
    return sum;
  }

  // singular_value_extremes and the full-rank test, lane by lane.
  static Mask full_rank(const Set& set, double rank_tolerance) {
    Real a[3][kSlots];
    for (int r = 0; r < kSlots; ++r)
      for (int c = 0; c < 3; ++c) a[c][r] = set.g[r][c];
    constexpr int kColumnPairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
    Mask active = Mask{} - 1;
    for (int sweep = 0; sweep < kMaxJacobiSweeps; ++sweep) {
      Mask rotated{};
      for (const auto& pair : kColumnPairs) {
        Real* ap = a[pair[0]];
        Real* aq = a[pair[1]];
        const Real alpha = column_dot(ap, ap), beta = column_dot(aq, aq);
        const Real gamma = column_dot(ap, aq);
        const Mask turn = active & ~(kJacobiEpsilon * lane_sqrt(alpha * beta) >= lane_abs(gamma));
        if (lane_bits(turn) == 0) continue;
        rotated |= turn;
        const Real zeta = (beta - alpha) / (2.0 * gamma);
        const Real sign = zeta >= 0.0 ? splat(1.0) : splat(-1.0);
        const Real t = sign / (lane_abs(zeta) + lane_sqrt(1.0 + zeta * zeta));
        const Real c = 1.0 / lane_sqrt(1.0 + t * t);
        const Real s = c * t;
        for (int r = 0; r < kSlots; ++r) {
          const Real p = ap[r], q = aq[r];
          ap[r] = turn ? c * p - s * q : p;
          aq[r] = turn ? s * p + c * q : q;
        }
      }
      active &= rotated;
      if (lane_bits(active) == 0) break;
    }
    Real norm[3];
    for (int c = 0; c < 3; ++c) norm[c] = lane_sqrt(column_dot(a[c], a[c]));
    Real largest = norm[0], smallest = norm[0];
    Mask nan = norm[0] != norm[0];
    for (int c = 1; c < 3; ++c) {
      nan |= norm[c] != norm[c];
      largest = norm[c] > largest ? norm[c] : largest;
      smallest = norm[c] < smallest ? norm[c] : smallest;
    }
    return ~nan & (largest > 0.0) & (smallest > largest * rank_tolerance);
  }

  // find_facets, lane by lane: the candidates' facet flags in candidate order (the positive
  // normals, then the negated ones) and the unit normals.
  struct Facets {
    Real normal[kConePairs][3];
    Mask positive[kConePairs], negative[kConePairs];
    Mask count;
  };

  static void find_facets(const Set& set, double rank_tolerance, double facet_tolerance,
                          Facets& f) {
    f.count = Mask{};
    int q = 0;
    for (int i = 0; i < kSlots; ++i)
      for (int j = i + 1; j < kSlots; ++j, ++q) {
        const Real* a = set.g[i];
        const Real* b = set.g[j];
        Real* n = f.normal[q];
        n[0] = a[1] * b[2] - a[2] * b[1];
        n[1] = a[2] * b[0] - a[0] * b[2];
        n[2] = a[0] * b[1] - a[1] * b[0];
        const Real length = lane_sqrt(dot3(n, n));
        const Mask usable = length > rank_tolerance;
        for (int c = 0; c < 3; ++c) n[c] = usable ? n[c] / length : n[c];
        Real high = splat(-INFINITY), low = splat(INFINITY);
        Mask nan{};
        for (int s = 0; s < kSlots; ++s) {
          const Mask live = set.live[s];
          const Real d = dot3(n, set.g[s]);
          nan |= live & (d != d);
          high = live & (d > high) ? d : high;
          low = live & (d < low) ? d : low;
        }
        f.positive[q] = usable & ~nan & (facet_tolerance >= high);
        f.negative[q] = usable & ~nan & (facet_tolerance >= -low);
        f.count -= f.positive[q];
        f.count -= f.negative[q];
      }
  }

  // cone_cap, lane by lane.
  static void cap(const Set& set, const Mask& blocks_all, Real axis[3], Real& cos_out) {
    Real s[3] = {Real{}, Real{}, Real{}};
    for (int k = 0; k < kSlots; ++k) {
      const Real w = set.live[k] ? splat(1.0) : splat(0.0);
      for (int c = 0; c < 3; ++c) s[c] += w * set.g[k][c];
    }
    const Real length = lane_sqrt(dot3(s, s));
    const Mask normalised = length > kCapAxisFloor;
    for (int c = 0; c < 3; ++c) axis[c] = normalised ? s[c] / length : s[c];
    Real lowest = splat(INFINITY);
    Mask nan{};
    for (int k = 0; k < kSlots; ++k) {
      const Real d = dot3(axis, set.g[k]);
      nan |= set.live[k] & (d != d);
      lowest = set.live[k] & (d < lowest) ? d : lowest;
    }
    lowest = nan ? splat(NAN) : lowest;
    cos_out = normalised & ~blocks_all ? lowest : splat(-2.0);
  }

  // The count pass's facet bits of each lane's item (none without full rank).
  static void keep_facet_bits(const ConeGroupJob& job, const int64_t* item, int live_count,
                              const Mask& full, const Facets& f) {
    for (int l = 0; l < live_count; ++l) {
      uint64_t* bits = job.facet_bits + kFacetWords * item[l];
      for (int w = 0; w < kFacetWords; ++w) bits[w] = 0;
      if (full[l] == 0) continue;
      for (int q = 0; q < kConePairs; ++q) {
        if (f.positive[q][l] != 0) set_facet_bit(bits, q);
        if (f.negative[q][l] != 0) set_facet_bit(bits, kConePairs + q);
      }
    }
  }

  // The fill pass's outputs of the lanes that have a group; the facets come from the count
  // pass's bits.
  static void fill(const ConeGroupJob& job, const int64_t* item, int live_count, const Set& set,
                   const Mask& full) {
    Mask none{};
    for (int l = 0; l < kLanes; ++l)
      none[l] = (job.facet_counts[item[l]] & ~kFullRankBit) == 0 ? -1 : 0;
    const Mask blocks_all = full & none;
    Real axis[3], cap_cos;
    cap(set, blocks_all, axis, cap_cos);
    const int64_t capacity = job.facet_capacity;
    for (int l = 0; l < live_count; ++l) {
      const int64_t group = job.group_index[item[l]];
      if (group < 0) continue;
      double* facets = job.facets + 3 * capacity * group;
      uint8_t* facet_mask = job.facet_mask + capacity * group;
      double g[kSlots][3];
      for (int k = 0; k < kSlots; ++k)
        for (int c = 0; c < 3; ++c) g[k][c] = set.g[k][c][l];
      int64_t slot =
          write_facets(g, job.facet_bits + kFacetWords * item[l], facets, facet_mask, capacity);
      for (; slot < capacity; ++slot) {
        for (int c = 0; c < 3; ++c) facets[3 * slot + c] = 0.0;
        facet_mask[slot] = 0;
      }
      for (int k = 0; k < kSlots; ++k) {
        for (int c = 0; c < 3; ++c) job.generators[27 * group + 3 * k + c] = set.g[k][c][l];
        job.generator_mask[9 * group + k] = set.live[k][l] != 0 ? 1 : 0;
      }
      job.blocks_all[group] = blocks_all[l] != 0 ? 1 : 0;
      for (int c = 0; c < 3; ++c) job.cap_axes[3 * group + c] = axis[c][l];
      job.cap_cos[group] = cap_cos[l];
    }
  }

  static void items(const ConeGroupJob& job, int64_t begin, int64_t end) {
    const bool filling = job.pass == 1;
    for (int64_t first = begin; first < end; first += kLanes) {
      const int live_count = static_cast<int>(end - first < kLanes ? end - first : kLanes);
      int64_t item[kLanes];
      for (int l = 0; l < kLanes; ++l) item[l] = first + (l < live_count ? l : live_count - 1);
      if (filling) {
        bool any = false;
        for (int l = 0; l < live_count; ++l) any |= job.group_index[item[l]] >= 0;
        if (!any) continue;
      }
      Set set{};
      if (job.input_generators != nullptr)
        input_generators(job, item, set);
      else
        pair_generators(job, item, set);
      Mask full{};
      if (filling) {
        for (int l = 0; l < kLanes; ++l)
          full[l] = (job.facet_counts[item[l]] & kFullRankBit) != 0 ? -1 : 0;
      } else {
        full = set.any_live & full_rank(set, job.rank_tolerance);
      }
      if (filling) {
        fill(job, item, live_count, set, full);
        continue;
      }
      Facets f;
      find_facets(set, job.rank_tolerance, job.facet_tolerance, f);
      f.count &= full;
      keep_facet_bits(job, item, live_count, full, f);
      for (int l = 0; l < live_count; ++l) {
        job.has_group[item[l]] = set.any_live[l] != 0 ? 1 : 0;
        job.facet_counts[item[l]] =
            static_cast<uint8_t>(f.count[l] | (full[l] != 0 ? kFullRankBit : 0));
      }
    }
  }
};

}  // namespace
}  // namespace zet

namespace zet {

void ZET_LANE_ENTRY(build_cone_groups)(const ConeGroupJob& job, int64_t begin, int64_t end) {
  ConeGroupLanes::items(job, begin, end);
}

}  // namespace zet
