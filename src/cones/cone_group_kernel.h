// Cone groups of blocked translation directions: up to nine unit generators per group, the
// rank test that tells whether they span space, the facet planes that bound their cone, and
// a spherical cap that holds them. Pure C++: no interpreter objects anywhere in here.
#pragma once
#include <cstdint>

namespace zet {

inline constexpr int kConeSlots = 9;                     // generators per group
inline constexpr int kConePairs = 36;                    // generator pairs (i, j), i < j
inline constexpr int kFacetCandidates = 2 * kConePairs;  // every pair with both signs
// Set in an item's facet count (at most 72) by the count pass when its group has full rank.
inline constexpr int kFullRankBit = 0x80;
// Words per item of the count pass's facet bits: bit k says that candidate k is a facet.
inline constexpr int kFacetWords = 2;

inline void set_facet_bit(uint64_t* words, int k) { words[k >> 6] |= uint64_t{1} << (k & 63); }
inline bool facet_bit(const uint64_t* words, int k) {
  return ((words[k >> 6] >> (k & 63)) & 1) != 0;
}

// The thresholds of the rank test and the cap, which the scalar and the lane builds share.
inline constexpr double kJacobiEpsilon = 2.220446049250313e-16;  // 2^-52: a pair this close to
                                                                 // orthogonal is not rotated
inline constexpr int kMaxJacobiSweeps = 60;
inline constexpr double kCapAxisFloor = 1e-12;  // a shorter generator sum gives no cap axis

// The state that both passes hand to every item. Inputs are read only; in the count pass an
// item writes has_group[i] and facet_counts[i] (with the rank test's verdict in its top bit),
// in the fill pass the slots of its group.
struct ConeGroupJob {
  // Triangle-pair mode: n x 3 x 3 moving and obstacle corners and n epsilons.
  const double* moving = nullptr;
  const double* obstacle = nullptr;
  const double* epsilon = nullptr;
  // Group-input mode (when input_generators is set): n x 9 x 3 rows and n x 9 mask bytes.
  const double* input_generators = nullptr;
  const uint8_t* input_mask = nullptr;
  double rank_tolerance = 0.0;
  double facet_tolerance = 0.0;
  int32_t pass = 0;  // 0 count, 1 fill
  uint8_t* has_group = nullptr;
  uint8_t* facet_counts = nullptr;
  int64_t* group_index = nullptr;  // -1 for an item without a group
  // kFacetWords per item: which candidates the count pass found to be facets (none when the
  // group lacks full rank), so that the fill pass writes them without testing every
  // candidate against every generator again.
  uint64_t* facet_bits = nullptr;
  int64_t facet_capacity = 0;  // F
  // Fill-pass outputs, indexed by group.
  double* generators = nullptr;       // G x 9 x 3
  double* facets = nullptr;           // G x F x 3
  double* cap_axes = nullptr;         // G x 3
  double* cap_cos = nullptr;          // G
  uint8_t* generator_mask = nullptr;  // G x 9
  uint8_t* facet_mask = nullptr;      // G x F
  uint8_t* blocks_all = nullptr;      // G
};

// Largest and smallest singular value of the 9 x 3 matrix whose rows are the generators,
// from one-sided Jacobi rotations of its columns (at most 60 sweeps). A NaN column norm
// makes both results NaN.
struct SingularExtremes {
  double largest, smallest;
};
SingularExtremes singular_value_extremes(const double rows[kConeSlots][3]);

// Item `item` of the job in the job's pass: the whole group in a fixed working set.
void build_cone_group(const ConeGroupJob& job, int64_t item);

// The fill pass's facets of one item (generators g) from its facet bits: each found
// candidate's signed unit normal, made by the same operations as in the count pass, written
// to out/out_mask while they fit in `capacity` slots. Returns the number of facets.
int write_facets(const double g[kConeSlots][3], const uint64_t* bits, double* out,
                 uint8_t* out_mask, int64_t capacity);

// One pass over items [0, n) on worker threads (static slices, grain 256).
void run_cone_group_pass(const ConeGroupJob& job, int64_t n);

// After the count pass: the group index of every item (in input order, -1 without a group)
// into job.group_index, and F, the largest facet count, into job.facet_capacity. Returns G.
int64_t compact_cone_groups(ConeGroupJob& job, int64_t n);

}  // namespace zet
