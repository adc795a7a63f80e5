#include "cones/cone_group_kernel.h"

#include <cmath>
#include <limits>

#include "cones/cone_group_lanes.h"
#include "runtime/cpu_lanes.h"
#include "runtime/parallel_for.h"

namespace zet {
namespace {

constexpr int64_t kConeGroupGrain = 256;

// Generator pair number q <-> (i, j), i < j, in lexicographic order.
struct SlotPair {
  int8_t i, j;
};
constexpr auto kSlotPairs = [] {
  struct {
    SlotPair at[kConePairs];
  } table{};
  int q = 0;
  for (int i = 0; i < kConeSlots; ++i)
    for (int j = i + 1; j < kConeSlots; ++j) table.at[q++] = {int8_t(i), int8_t(j)};
  return table;
}();

double dot3(const double a[3], const double b[3]) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// The cross product n of generator pair q, unnormalised; returns its length. The count and
// the fill pass both make a facet's normal here, so the two agree bit for bit.
double pair_normal(const double g[kConeSlots][3], int q, double n[3]) {
  const double* a = g[kSlotPairs.at[q].i];
  const double* b = g[kSlotPairs.at[q].j];
  n[0] = a[1] * b[2] - a[2] * b[1];
  n[1] = a[2] * b[0] - a[0] * b[2];
  n[2] = a[0] * b[1] - a[1] * b[0];
  return std::sqrt(dot3(n, n));
}

// The fixed working set of one item: nine generators with their live flags.
struct GeneratorSet {
  double g[kConeSlots][3];
  bool live[kConeSlots];
  bool any_live;
};

// Slot k runs from moving vertex k mod 3 to obstacle vertex k div 3; it is live when the
// difference is longer than epsilon (a NaN length never is), and then holds its direction.
void pair_generators(const ConeGroupJob& job, int64_t item, GeneratorSet& set) {
  const double* moving = job.moving + 9 * item;
  const double* obstacle = job.obstacle + 9 * item;
  const double epsilon = job.epsilon[item];
  set.any_live = false;
  for (int k = 0; k < kConeSlots; ++k) {
    const double* a = moving + 3 * (k % 3);
    const double* b = obstacle + 3 * (k / 3);
    const double d[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double length = std::sqrt(dot3(d, d));
    set.live[k] = length > epsilon;
    set.any_live |= set.live[k];
    for (int c = 0; c < 3; ++c) set.g[k][c] = set.live[k] ? d[c] / length : 0.0;
  }
}

// Rows and mask bytes taken as they stand; any nonzero byte is live.
void input_generators(const ConeGroupJob& job, int64_t item, GeneratorSet& set) {
  const double* rows = job.input_generators + 27 * item;
  const uint8_t* mask = job.input_mask + 9 * item;
  for (int k = 0; k < kConeSlots; ++k) {
    for (int c = 0; c < 3; ++c) set.g[k][c] = rows[3 * k + c];
    set.live[k] = mask[k] != 0;
  }
  set.any_live = true;  // every input item is a group
}

double column_dot(const double a[kConeSlots], const double b[kConeSlots]) {
  double sum = 0.0;
  for (int r = 0; r < kConeSlots; ++r) sum += a[r] * b[r];
  return sum;
}

// Facet planes of a full-rank group: candidates 0 .. 71 in order, each pair's normal with
// its positive sign first. A candidate is a facet when no live generator lies above its
// plane by more than facet_tolerance (a NaN value disqualifies it). The negated normal's
// values are the exact negations of the normal's, so one pass over the generators gives
// both: the highest value of the negated candidate is minus the lowest of the normal's.
// Each facet's bit is set in `bits` (kFacetWords words, cleared by the caller). Returns the
// number of facets found.
int find_facets(const GeneratorSet& set, double rank_tolerance, double facet_tolerance,
                uint64_t* bits) {
  double normal[kConePairs][3];
  bool usable[kConePairs];
  double highest[kConePairs], lowest[kConePairs];
  for (int q = 0; q < kConePairs; ++q) {
    double* n = normal[q];
    const double length = pair_normal(set.g, q, n);
    usable[q] = length > rank_tolerance;
    if (!usable[q]) continue;
    for (int c = 0; c < 3; ++c) n[c] /= length;
    double high = -std::numeric_limits<double>::infinity();
    double low = std::numeric_limits<double>::infinity();
    bool nan = false;
    for (int s = 0; s < kConeSlots; ++s) {
      if (!set.live[s]) continue;
      const double d = dot3(n, set.g[s]);
      nan |= d != d;
      high = d > high ? d : high;
      low = d < low ? d : low;
    }
    highest[q] = nan ? std::numeric_limits<double>::quiet_NaN() : high;
    lowest[q] = nan ? std::numeric_limits<double>::quiet_NaN() : low;
  }
  int count = 0;
  for (int k = 0; k < kFacetCandidates; ++k) {
    const int q = k % kConePairs;
    if (!usable[q]) continue;
    const bool positive = k < kConePairs;
    if (!(facet_tolerance >= (positive ? highest[q] : -lowest[q]))) continue;
    set_facet_bit(bits, k);
    ++count;
  }
  return count;
}

// Axis of the sum of the live generators and the cosine of the smallest cap around it that
// holds them; the cosine is -2 when the sum is too short to give a direction or the group
// blocks every direction.
void cone_cap(const GeneratorSet& set, bool blocks_all, double axis[3], double* cos_out) {
  double s[3] = {0.0, 0.0, 0.0};
  for (int k = 0; k < kConeSlots; ++k) {
    const double w = set.live[k] ? 1.0 : 0.0;
    for (int c = 0; c < 3; ++c) s[c] += w * set.g[k][c];
  }
  const double length = std::sqrt(dot3(s, s));
  const bool normalised = length > kCapAxisFloor;
  for (int c = 0; c < 3; ++c) axis[c] = normalised ? s[c] / length : s[c];
  double lowest = std::numeric_limits<double>::infinity();
  for (int k = 0; k < kConeSlots; ++k) {
    if (!set.live[k]) continue;
    const double d = dot3(axis, set.g[k]);
    if (d < lowest || d != d) lowest = d;
  }
  *cos_out = normalised && !blocks_all ? lowest : -2.0;
}

}  // namespace

SingularExtremes singular_value_extremes(const double rows[kConeSlots][3]) {
  double a[3][kConeSlots];
  for (int r = 0; r < kConeSlots; ++r)
    for (int c = 0; c < 3; ++c) a[c][r] = rows[r][c];
  constexpr int kColumnPairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
  for (int sweep = 0; sweep < kMaxJacobiSweeps; ++sweep) {
    bool rotated = false;
    for (const auto& pair : kColumnPairs) {
      double* ap = a[pair[0]];
      double* aq = a[pair[1]];
      const double alpha = column_dot(ap, ap), beta = column_dot(aq, aq);
      const double gamma = column_dot(ap, aq);
      if (kJacobiEpsilon * std::sqrt(alpha * beta) >= std::fabs(gamma)) continue;  // NaN rotates
      rotated = true;
      const double zeta = (beta - alpha) / (2.0 * gamma);
      const double sign = zeta >= 0.0 ? 1.0 : -1.0;
      const double t = sign / (std::fabs(zeta) + std::sqrt(1.0 + zeta * zeta));
      const double c = 1.0 / std::sqrt(1.0 + t * t);
      const double s = c * t;
      for (int r = 0; r < kConeSlots; ++r) {
        const double p = ap[r], q = aq[r];
        ap[r] = c * p - s * q;
        aq[r] = s * p + c * q;
      }
    }
    if (!rotated) break;
  }
  double norm[3];
  for (int c = 0; c < 3; ++c) norm[c] = std::sqrt(column_dot(a[c], a[c]));
  SingularExtremes e{norm[0], norm[0]};
  for (int c = 1; c < 3; ++c) {
    if (norm[c] != norm[c]) return {norm[c], norm[c]};
    if (norm[c] > e.largest) e.largest = norm[c];
    if (norm[c] < e.smallest) e.smallest = norm[c];
  }
  return e;
}

int write_facets(const double g[kConeSlots][3], const uint64_t* bits, double* out,
                 uint8_t* out_mask, int64_t capacity) {
  int count = 0;
  for (int k = 0; k < kFacetCandidates; ++k) {
    if (!facet_bit(bits, k)) continue;
    if (count < capacity) {
      double n[3];
      const double length = pair_normal(g, k % kConePairs, n);
      const double sign = k < kConePairs ? 1.0 : -1.0;
      for (int c = 0; c < 3; ++c) out[3 * count + c] = sign * (n[c] / length);
      out_mask[count] = 1;
    }
    ++count;
  }
  return count;
}

void build_cone_group(const ConeGroupJob& job, int64_t item) {
  const bool fill = job.pass == 1;
  int64_t group = 0;
  if (fill) {
    group = job.group_index[item];
    if (group < 0) return;
  }
  GeneratorSet set;
  if (job.input_generators != nullptr)
    input_generators(job, item, set);
  else
    pair_generators(job, item, set);
  if (!fill) {
    job.has_group[item] = set.any_live ? 1 : 0;
    job.facet_counts[item] = 0;
    if (!set.any_live) return;
  }

  // The rank test runs in the count pass; the fill pass reads its verdict back.
  bool full_rank;
  if (fill) {
    full_rank = (job.facet_counts[item] & kFullRankBit) != 0;
  } else {
    const SingularExtremes s = singular_value_extremes(set.g);
    full_rank = s.largest > 0.0 && s.smallest > s.largest * job.rank_tolerance;
  }
  uint64_t* bits = job.facet_bits + kFacetWords * item;
  if (!fill) {
    for (int w = 0; w < kFacetWords; ++w) bits[w] = 0;
    const int count =
        full_rank ? find_facets(set, job.rank_tolerance, job.facet_tolerance, bits) : 0;
    job.facet_counts[item] = static_cast<uint8_t>(count | (full_rank ? kFullRankBit : 0));
    return;
  }
  const int64_t capacity = job.facet_capacity;
  double* facets = job.facets + 3 * capacity * group;
  uint8_t* facet_mask = job.facet_mask + capacity * group;
  const int count = write_facets(set.g, bits, facets, facet_mask, capacity);
  for (int64_t slot = count; slot < capacity; ++slot) {
    for (int c = 0; c < 3; ++c) facets[3 * slot + c] = 0.0;
    facet_mask[slot] = 0;
  }
  const bool blocks_all = full_rank && count == 0;
  for (int k = 0; k < kConeSlots; ++k) {
    for (int c = 0; c < 3; ++c) job.generators[27 * group + 3 * k + c] = set.g[k][c];
    job.generator_mask[9 * group + k] = set.live[k] ? 1 : 0;
  }
  job.blocks_all[group] = blocks_all ? 1 : 0;
  cone_cap(set, blocks_all, job.cap_axes + 3 * group, job.cap_cos + group);
}

namespace {

using ItemsKernel = void (*)(const ConeGroupJob&, int64_t, int64_t);

void build_cone_groups_one_by_one(const ConeGroupJob& job, int64_t begin, int64_t end) {
  for (int64_t i = begin; i < end; ++i) build_cone_group(job, i);
}

}  // namespace

void run_cone_group_pass(const ConeGroupJob& job, int64_t n) {
  static const ItemsKernel kernel = widest_build<ItemsKernel>(
      build_cone_groups_one_by_one, ZET_LANE_BUILD(build_cone_groups_avx2),
      ZET_LANE_BUILD(build_cone_groups_avx512));
  auto items = [&job](int64_t begin, int64_t end, int64_t, int64_t) { kernel(job, begin, end); };
  for_each_range(n, 1, kConeGroupGrain, items);
}

int64_t compact_cone_groups(ConeGroupJob& job, int64_t n) {
  int64_t groups = 0, capacity = 0;
  for (int64_t i = 0; i < n; ++i) {
    if (job.has_group[i] == 0) {
      job.group_index[i] = -1;
      continue;
    }
    job.group_index[i] = groups++;
    const int64_t count = job.facet_counts[i] & ~kFullRankBit & 0xFF;
    if (count > capacity) capacity = count;
  }
  job.facet_capacity = capacity;
  return groups;
}

}  // namespace zet
