#include "collision/ccd_kernel.h"

#include <bit>
#include <cmath>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "runtime/float_order.h"
#include "runtime/vec3.h"

// The kernel is written twice over the same formulas. one_at_a_time follows the algorithm
// literally: one candidate axis after the other, each tested as soon as it is accepted.
// two_at_a_time, which answers the callers, applies the same operations to two values at
// once in Pair, two doubles in one vector register (the GCC/Clang vector extension): the
// moving and the obstacle triangle side by side, then two candidate axes side by side.
// Lanes round like scalars and every value is computed by the same operations on the same
// operands, so the results are the same bits. Only independent work is reordered, and
// work whose result cannot matter is skipped: the quotients of an axis that is static in
// both lanes, and the root and quotient of a candidate whose usability a cheaper bound
// already settles (surely_usable).
//
// One thing the operations leave open: when both operands of a sum or a product are NaN,
// the result carries the payload of the operand that the instruction takes first, and the
// compiler orders commutative operands as its register allocation suits it, differently in
// the two formulations. A result whose window holds a NaN (only NaN inputs or overflowing
// coordinates lead there) is therefore recomputed one at a time, so that every bit of every
// result, NaN payloads included, is what the one-at-a-time formulation gives.

namespace zet {
namespace {

constexpr int kMaxAxes = 17;

using PairBits = int64_t __attribute__((vector_size(16)));

// A comparison of two Pair values: a lane mask, 0 or -1 in each lane.
using PairMask = decltype(Pair{} < Pair{});

Pair sqrt_of(Pair x) {
#if defined(__SSE2__)
  return _mm_sqrt_pd(x);
#else
  return Pair{std::sqrt(x[0]), std::sqrt(x[1])};
#endif
}
Pair norm(V3<Pair> a) { return sqrt_of(dot(a, a)); }

// min(x, y) is y unless x < y and max(x, y) is y unless x > y, so a NaN in y always
// propagates and a NaN in x gives way to y. For Pair these are exactly minpd and maxpd.
double min_of(double x, double y) { return min_as_written(x, y); }
double max_of(double x, double y) { return max_as_written(x, y); }
Pair min_of(Pair x, Pair y) {
#if defined(__SSE2__)
  return _mm_min_pd(x, y);
#else
  return x < y ? x : y;
#endif
}
Pair max_of(Pair x, Pair y) {
#if defined(__SSE2__)
  return _mm_max_pd(x, y);
#else
  return x > y ? x : y;
#endif
}

// |x| in each lane by clearing the sign bit, as std::fabs does (also for a NaN).
Pair abs_of(Pair x) {
  constexpr int64_t kMagnitude = INT64_MAX;
  return reinterpret_cast<Pair>(reinterpret_cast<PairBits>(x) & PairBits{kMagnitude, kMagnitude});
}

// The lanes of a comparison as bits: bit i is set when lane i holds. Conditions are
// combined as these bits rather than as masks, because GCC rebuilds a mask made with & or |
// lane by lane before it can test it.
unsigned lane_bits(PairMask mask) {
#if defined(__SSE2__)
  return unsigned(_mm_movemask_pd(reinterpret_cast<Pair>(mask)));
#else
  return unsigned(mask[0] != 0) | unsigned(mask[1] != 0) << 1;
#endif
}

// x in both lanes, and two vectors side by side: a in lane 0, b in lane 1.
Pair fill(double x) { return Pair{x, x}; }
V3<Pair> join(Vec3 a, Vec3 b) { return {Pair{a.x, b.x}, Pair{a.y, b.y}, Pair{a.z, b.z}}; }
V3<Pair> fill(Vec3 a) { return join(a, a); }
Vec3 lane(V3<Pair> v, int i) { return {v.x[i], v.y[i], v.z[i]}; }
// Lane i of a beside lane j of b.
Pair beside(Pair a, int i, Pair b, int j) { return Pair{a[i], b[j]}; }
V3<Pair> beside(V3<Pair> a, int i, V3<Pair> b, int j) {
  return {beside(a.x, i, b.x, j), beside(a.y, i, b.y, j), beside(a.z, i, b.z, j)};
}

// The contact and strict windows narrowed axis by axis.
struct Windows {
  double enter, exit, strict_enter, strict_exit;
  bool strict_overlap;
};

// The record once no usable axis separates: skipped candidates could have, so they make
// the contact uncertain.
void write_contact(const Windows& w, int32_t axis_count, int32_t skipped, TriangleCcdResult& r) {
  const bool uncertain = skipped > 0;
  r.status = uncertain ? kCcdUncertain : kCcdContact;
  r.enter = w.enter;
  r.exit = w.exit;
  r.strict = w.strict_overlap && w.strict_exit >= w.strict_enter ? 1 : 0;
  r.strict_enter = w.strict_enter;
  r.strict_exit = w.strict_exit;
  r.axis_count = axis_count;
  r.skipped_axes = skipped;
  r.reason = uncertain ? kCcdUntestedAxes : kCcdOk;
}

// ================================================================ one candidate at a time

namespace one_at_a_time {

// Vertices, edges e0 = p1 - p0, e1 = p2 - p1, e2 = p0 - p2 with their lengths, and the
// normal (p1 - p0) x (p2 - p0) with its length (twice the area).
struct Triangle {
  Vec3 p[3];
  Vec3 edge[3];
  double edge_length[3];
  Vec3 normal;
  double normal_length;
};

Triangle describe(const double* vertices) {
  Triangle t;
  for (int i = 0; i < 3; ++i) t.p[i] = load(vertices + 3 * i);
  t.edge[0] = sub(t.p[1], t.p[0]);
  t.edge[1] = sub(t.p[2], t.p[1]);
  t.edge[2] = sub(t.p[0], t.p[2]);
  for (int i = 0; i < 3; ++i) t.edge_length[i] = norm(t.edge[i]);
  t.normal = cross(t.edge[0], sub(t.p[2], t.p[0]));
  t.normal_length = norm(t.normal);
  return t;
}

bool is_degenerate(const Triangle& t, double abs_tol, double rel_tol) {
  const double longest = max_of(max_of(t.edge_length[0], t.edge_length[1]), t.edge_length[2]);
  if (abs_tol >= longest) return true;
  return max_of(longest, abs_tol) * abs_tol + rel_tol * longest * longest >= t.normal_length;
}

// The axis candidates c = a x b in their fixed order, each with scale = |a| |b|: the two
// face normals, the nine edge-edge directions (moving edge outer, obstacle edge inner),
// then the in-plane edge normals nA x e_i and nB x f_j.
struct Candidates {
  Vec3 c[kMaxAxes];
  double scale[kMaxAxes];
};

void list_candidates(const Triangle& a, const Triangle& b, Candidates& out) {
  out.c[0] = a.normal;
  out.scale[0] = a.edge_length[0] * a.edge_length[2];
  out.c[1] = b.normal;
  out.scale[1] = b.edge_length[0] * b.edge_length[2];
  int m = 2;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j, ++m) {
      out.c[m] = cross(a.edge[i], b.edge[j]);
      out.scale[m] = a.edge_length[i] * b.edge_length[j];
    }
  for (int i = 0; i < 3; ++i, ++m) {
    out.c[m] = cross(a.normal, a.edge[i]);
    out.scale[m] = a.normal_length * a.edge_length[i];
  }
  for (int j = 0; j < 3; ++j, ++m) {
    out.c[m] = cross(b.normal, b.edge[j]);
    out.scale[m] = b.normal_length * b.edge_length[j];
  }
}

// A candidate of length exactly 0 carries no direction and is dropped without a count; a
// nearly parallel pair (sine at most sin_tol) gives a direction that rounding dominates,
// so it is rejected and counted as skipped.
enum class Usability { kZero, kSkipped, kUsable };

Usability usability(double length, double scale, double sin_tol) {
  if (length == 0.0) return Usability::kZero;
  if (scale == 0.0 || length / scale <= sin_tol) return Usability::kSkipped;
  return Usability::kUsable;
}

struct Interval {
  double lo, hi;
};

Interval project(Vec3 u, const Vec3* p) {
  const double a0 = dot(u, p[0]), a1 = dot(u, p[1]), a2 = dot(u, p[2]);
  return {min_of(min_of(a0, a1), a2), max_of(max_of(a0, a1), a2)};
}

// Narrows the windows by one unit axis; returns the separation reason, or kCcdOk when the
// axis does not separate within the windows.
CcdReason test_axis(Vec3 u, const Triangle& a, const Triangle& b, Vec3 v, double static_speed,
                    double abs_tol, double rel_tol, Windows& w) {
  const Interval pa = project(u, a.p), pb = project(u, b.p);
  const double scale = max_of(max_of(max_of(std::fabs(pa.lo), std::fabs(pa.hi)), std::fabs(pb.lo)),
                              std::fabs(pb.hi));
  const double tol = max_of(1.0, scale) * rel_tol + abs_tol;
  const double s = dot(u, v);
  if (std::fabs(s) <= static_speed) {
    // The gap on this axis does not change along the path.
    if (pb.lo - tol > pa.hi + tol || pa.lo - tol > pb.hi + tol) return kCcdSeparatedStaticAxis;
    if (pb.lo > pa.hi || pa.lo > pb.hi) w.strict_overlap = false;
    return kCcdOk;
  }
  // Parameters at which the widened, then the exact, intervals start and stop overlapping.
  const double ta = ((pb.lo - tol) - (pa.hi + tol)) / s;
  const double tb = ((pb.hi + tol) - (pa.lo - tol)) / s;
  w.enter = max_of(w.enter, min_of(ta, tb));
  w.exit = min_of(w.exit, max_of(ta, tb));
  if (w.enter > w.exit) return kCcdSeparatedWindow;
  const double ca = (pb.lo - pa.hi) / s;
  const double cb = (pb.hi - pa.lo) / s;
  w.strict_enter = max_of(w.strict_enter, min_of(ca, cb));
  w.strict_exit = min_of(w.strict_exit, max_of(ca, cb));
  if (w.strict_enter > w.strict_exit) w.strict_overlap = false;
  return kCcdOk;
}

// Each accepted axis is tested at once, in list order, so a separated pair skips the
// normalisation and duplicate checks of the later candidates; those are still classified,
// because skipped_axes counts every rejected candidate. Kept out of line (noipa) so that it
// is compiled as a function of its own, whatever its one caller looks like.
[[gnu::noinline, gnu::noipa]] TriangleCcdResult evaluate(const double moving[9],
                                                         const double obstacle[9],
                                                         const double velocity[3], double t0,
                                                         double t1, double abs_tol, double rel_tol,
                                                         double sin_tol) {
  TriangleCcdResult r{kCcdUncertain, t0, t1, 0, t0, t1, 0, 0, kCcdMovingDegenerate};
  const Triangle a = describe(moving);
  if (is_degenerate(a, abs_tol, rel_tol)) return r;
  const Triangle b = describe(obstacle);
  if (is_degenerate(b, abs_tol, rel_tol)) {
    r.reason = kCcdObstacleDegenerate;
    return r;
  }

  Candidates candidates;
  list_candidates(a, b, candidates);
  const Vec3 v = load(velocity);
  const double static_speed = max_of(1.0, norm(v)) * rel_tol + abs_tol;
  const double duplicate_cos = 1.0 - rel_tol;  // |u . w| at or above this: u repeats w
  Vec3 axes[kMaxAxes];
  int count = 0, skipped = 0;
  Windows w{t0, t1, t0, t1, true};
  for (int m = 0; m < kMaxAxes; ++m) {
    const Vec3 c = candidates.c[m];
    const double length = norm(c);
    const Usability use = usability(length, candidates.scale[m], sin_tol);
    if (use != Usability::kUsable) {
      skipped += use == Usability::kSkipped;
      continue;
    }
    const Vec3 u{c.x / length, c.y / length, c.z / length};
    bool duplicate = false;
    for (int i = 0; i < count && !duplicate; ++i)
      duplicate = std::fabs(dot(u, axes[i])) >= duplicate_cos;
    if (duplicate) continue;
    axes[count++] = u;
    const CcdReason separated = test_axis(u, a, b, v, static_speed, abs_tol, rel_tol, w);
    if (separated == kCcdOk) continue;
    for (int rest = m + 1; rest < kMaxAxes; ++rest)
      skipped += usability(norm(candidates.c[rest]), candidates.scale[rest], sin_tol) ==
                 Usability::kSkipped;
    r.status = kCcdSeparated;
    r.axis_count = count;
    r.skipped_axes = skipped;
    r.reason = separated;
    return r;
  }
  if (count == 0) {
    r.axis_count = skipped;
    r.skipped_axes = skipped;
    r.reason = kCcdNoAxis;
    return r;
  }
  write_contact(w, count, skipped, r);
  return r;
}

}  // namespace one_at_a_time

// ================================================================ two at a time

namespace two_at_a_time {

// Both triangles side by side, lane 0 the moving one (edges e_i), lane 1 the obstacle
// (edges f_j), with the quantities of one_at_a_time::Triangle.
struct TrianglePair {
  V3<Pair> edge[3];
  Pair edge_length[3];
  V3<Pair> normal;
  Pair normal_length;
};

TrianglePair describe(V3<Pair> p0, V3<Pair> p1, V3<Pair> p2) {
  TrianglePair t;
  t.edge[0] = sub(p1, p0);
  t.edge[1] = sub(p2, p1);
  t.edge[2] = sub(p0, p2);
  for (int i = 0; i < 3; ++i) t.edge_length[i] = norm(t.edge[i]);
  t.normal = cross(t.edge[0], sub(p2, p0));
  t.normal_length = norm(t.normal);
  return t;
}

// Lane bits of the degenerate triangles.
unsigned degenerate(const TrianglePair& t, double abs_tol, double rel_tol) {
  const Pair longest = max_of(max_of(t.edge_length[0], t.edge_length[1]), t.edge_length[2]);
  const Pair area_tol =
      max_of(longest, fill(abs_tol)) * abs_tol + fill(rel_tol) * longest * longest;
  return lane_bits(fill(abs_tol) >= longest) | lane_bits(area_tol >= t.normal_length);
}

// Whether every scale |a| |b| of the candidates lies in [2^-300, 2^300]: it does when all
// edge and normal lengths of both triangles lie in [2^-150, 2^150].
bool scales_in_range(const TrianglePair& t) {
  unsigned in = lane_bits(t.normal_length >= 0x1p-150) & lane_bits(t.normal_length <= 0x1p150);
  for (const Pair length : t.edge_length)
    in &= lane_bits(length >= 0x1p-150) & lane_bits(length <= 0x1p150);
  return in == 3;
}

// Lane bits of a sufficient condition for a candidate with |c|^2 = squared and a scale in
// [2^-300, 2^300] to be usable (length = sqrt(squared) != 0, scale != 0 and length / scale
// > sin_tol) that takes neither the root nor the quotient. squared >= 2^-600 makes length
// and length / scale normal, nonzero and within one rounding of their exact values. If
// b = sin_tol * scale and b^2 are normal, squared > 4 b^2 puts length / scale above
// 2 sin_tol less a few roundings, so above sin_tol; if b^2 falls below the normal range,
// sin_tol < 2^-510 / scale while length / scale >= 2^-300 / scale; if sin_tol <= 0, the
// quotient is above it anyway. NaN, an infinite bound or an overflowing square fail the
// test; an infinite squared passes it rightly (its quotient is infinite, sin_tol is not).
unsigned surely_usable(Pair squared, Pair scale, double sin_tol) {
  const Pair bound = sin_tol * scale;
  return lane_bits(squared >= 0x1p-600) & lane_bits(squared > 4.0 * (bound * bound));
}

// The candidates of one_at_a_time::list_candidates with what usability() makes of them.
// All seventeen are classified up front, two at a time, because skipped_axes counts every
// rejected candidate, even those after a separating axis; a length is taken only where the
// classification or the normalisation needs it. Slot 17 is padding.
struct Candidates {
  double x[kMaxAxes + 1], y[kMaxAxes + 1], z[kMaxAxes + 1], squared[kMaxAxes + 1];
  uint32_t usable = 0, skipped = 0;  // bit m: candidate m

  // Candidates m0 and m1, lanes 0 and 1 of c, with their scales. quick: the scales are in
  // the range of surely_usable.
  void classify(V3<Pair> c, Pair scale, int m0, int m1, bool quick, double sin_tol) {
    const Pair c2 = dot(c, c);
    unsigned good = quick ? surely_usable(c2, scale, sin_tol) : 0, rejected = 0;
    if (good != 3) {  // the exact test: zero, skipped or usable
      const Pair length = sqrt_of(c2);
      const unsigned zero = lane_bits(length == 0.0);
      rejected = ~zero & (lane_bits(scale == 0.0) | lane_bits(length / scale <= sin_tol)) & 3;
      good = ~(zero | rejected) & 3;
    }
    const int m[2] = {m0, m1};
    for (int i = 0; i < 2; ++i) {
      x[m[i]] = c.x[i], y[m[i]] = c.y[i], z[m[i]] = c.z[i], squared[m[i]] = c2[i];
      skipped |= uint32_t(rejected >> i & 1) << m[i];
      usable |= uint32_t(good >> i & 1) << m[i];
    }
  }

  // The unit vectors of candidates m0 and m1 side by side.
  V3<Pair> unit(int m0, int m1) const {
    const Pair length = sqrt_of(Pair{squared[m0], squared[m1]});
    return {Pair{x[m0], x[m1]} / length, Pair{y[m0], y[m1]} / length, Pair{z[m0], z[m1]} / length};
  }
};

// Candidates are paired as their lanes come: nA beside nB, nA x e_i beside nB x f_i, and
// the edge-edge candidate 2 + 3 i + j, e_i x f_j, as e_i x f0 beside e_i x f1, e0 x f2
// beside e1 x f2, and e2 x f2 beside itself (the copy lands in the padding).
void list_candidates(const TrianglePair& t, double sin_tol, Candidates& out) {
  const bool quick = scales_in_range(t);
  const V3<Pair>* edge = t.edge;
  const Pair* length = t.edge_length;
  out.classify(t.normal, length[0] * length[2], 0, 1, quick, sin_tol);
  const V3<Pair> f01 = beside(edge[0], 1, edge[1], 1), f22 = beside(edge[2], 1, edge[2], 1);
  const Pair f01_length = beside(length[0], 1, length[1], 1);
  const Pair f22_length = beside(length[2], 1, length[2], 1);
  for (int i = 0; i < 3; ++i)
    out.classify(cross(beside(edge[i], 0, edge[i], 0), f01),
                 beside(length[i], 0, length[i], 0) * f01_length, 2 + 3 * i, 3 + 3 * i, quick,
                 sin_tol);
  out.classify(cross(beside(edge[0], 0, edge[1], 0), f22),
               beside(length[0], 0, length[1], 0) * f22_length, 4, 7, quick, sin_tol);
  out.classify(cross(beside(edge[2], 0, edge[2], 0), f22),
               beside(length[2], 0, length[2], 0) * f22_length, 10, kMaxAxes, quick, sin_tol);
  for (int i = 0; i < 3; ++i)
    out.classify(cross(t.normal, edge[i]), t.normal_length * length[i], 11 + i, 14 + i, quick,
                 sin_tol);
  out.usable &= (1u << kMaxAxes) - 1;
  out.skipped &= (1u << kMaxAxes) - 1;
}

// The accepted unit axes, each kept in both lanes, ready to be compared with two new ones.
struct AxisList {
  V3<Pair> axis[kMaxAxes];
  int count = 0;

  // Lane bits: u repeats an axis of the list, |u . w| >= duplicate_cos.
  unsigned repeats(V3<Pair> u, double duplicate_cos) const {
    unsigned found = 0;
    for (int i = 0; i < count; ++i) found |= lane_bits(abs_of(dot(u, axis[i])) >= duplicate_cos);
    return found;
  }
  void append(Vec3 u) { axis[count++] = fill(u); }
};

// The vertices and the velocity, each in both lanes, to be projected on two axes at once.
struct Path {
  V3<Pair> p[3], q[3], velocity;
};

// What two unit axes (lanes) say about the pair: whether each is static, what a static
// axis decides, and the parameter intervals over which the widened (enter, exit) and the
// exact (strict_enter, strict_exit) projections of a moving axis overlap.
struct AxisVerdicts {
  unsigned is_static;  // lane bits
  unsigned apart;      // static: the widened intervals are apart, the axis separates
  unsigned gap;        // static: the exact intervals are apart
  Pair enter, exit, strict_enter, strict_exit;
};

struct Interval {
  Pair lo, hi;
};

Interval project(V3<Pair> u, const V3<Pair>* p) {
  const Pair a0 = dot(u, p[0]), a1 = dot(u, p[1]), a2 = dot(u, p[2]);
  return {min_of(min_of(a0, a1), a2), max_of(max_of(a0, a1), a2)};
}

// one_at_a_time::test_axis for two axes, up to the narrowing of the windows.
AxisVerdicts judge_axes(V3<Pair> u, const Path& path, double static_speed, double abs_tol,
                        double rel_tol) {
  const Interval pa = project(u, path.p), pb = project(u, path.q);
  const Pair scale =
      max_of(max_of(max_of(abs_of(pa.lo), abs_of(pa.hi)), abs_of(pb.lo)), abs_of(pb.hi));
  const Pair tol = max_of(fill(1.0), scale) * rel_tol + abs_tol;
  const Pair s = dot(u, path.velocity);
  AxisVerdicts a;
  a.is_static = lane_bits(abs_of(s) <= static_speed);
  a.apart = lane_bits(pb.lo - tol > pa.hi + tol) | lane_bits(pa.lo - tol > pb.hi + tol);
  a.gap = lane_bits(pb.lo > pa.hi) | lane_bits(pa.lo > pb.hi);
  if (a.is_static == 3) {  // the at-rest test never needs the quotients
    a.enter = a.exit = a.strict_enter = a.strict_exit = fill(0.0);
    return a;
  }
  const Pair ta = ((pb.lo - tol) - (pa.hi + tol)) / s;
  const Pair tb = ((pb.hi + tol) - (pa.lo - tol)) / s;
  const Pair ca = (pb.lo - pa.hi) / s;
  const Pair cb = (pb.hi - pa.lo) / s;
  a.enter = min_of(ta, tb);
  a.exit = max_of(ta, tb);
  a.strict_enter = min_of(ca, cb);
  a.strict_exit = max_of(ca, cb);
  return a;
}

// Narrows the windows by the axis in lane i of the verdicts; returns the separation
// reason, or kCcdOk when the axis does not separate within the windows.
CcdReason narrow(const AxisVerdicts& a, int i, Windows& w) {
  if (a.is_static >> i & 1) {
    if (a.apart >> i & 1) return kCcdSeparatedStaticAxis;
    if (a.gap >> i & 1) w.strict_overlap = false;
    return kCcdOk;
  }
  w.enter = max_of(w.enter, a.enter[i]);
  w.exit = min_of(w.exit, a.exit[i]);
  if (w.enter > w.exit) return kCcdSeparatedWindow;
  w.strict_enter = max_of(w.strict_enter, a.strict_enter[i]);
  w.strict_exit = min_of(w.strict_exit, a.strict_exit[i]);
  if (w.strict_enter > w.strict_exit) w.strict_overlap = false;
  return kCcdOk;
}

TriangleCcdResult evaluate(const double moving[9], const double obstacle[9],
                           const double velocity[3], double t0, double t1, double abs_tol,
                           double rel_tol, double sin_tol) {
  TriangleCcdResult r{kCcdUncertain, t0, t1, 0, t0, t1, 0, 0, kCcdMovingDegenerate};
  const Vec3 p[3] = {load(moving), load(moving + 3), load(moving + 6)};
  const Vec3 q[3] = {load(obstacle), load(obstacle + 3), load(obstacle + 6)};
  const TrianglePair both = describe(join(p[0], q[0]), join(p[1], q[1]), join(p[2], q[2]));
  const unsigned degenerate_lanes = degenerate(both, abs_tol, rel_tol);
  if (degenerate_lanes & 1) return r;
  if (degenerate_lanes & 2) {
    r.reason = kCcdObstacleDegenerate;
    return r;
  }

  Candidates candidates;
  list_candidates(both, sin_tol, candidates);
  const int skipped = std::popcount(candidates.skipped);
  const Vec3 v = load(velocity);
  const Path path{
      {fill(p[0]), fill(p[1]), fill(p[2])}, {fill(q[0]), fill(q[1]), fill(q[2])}, fill(v)};
  const double static_speed = max_of(1.0, norm(v)) * rel_tol + abs_tol;
  const double duplicate_cos = 1.0 - rel_tol;

  // The usable candidates in list order, two at a time: both are normalised, checked
  // against the list and tested together, then accepted and applied one after the other,
  // so that the first separating axis ends the loop as if they had been taken one by one.
  AxisList axes;
  Windows w{t0, t1, t0, t1, true};
  uint32_t pending = candidates.usable;
  while (pending != 0) {
    const int m0 = std::countr_zero(pending);
    pending &= pending - 1;
    const bool second = pending != 0;
    const int m1 = second ? std::countr_zero(pending) : m0;
    pending &= pending - 1;
    const V3<Pair> u = candidates.unit(m0, m1);
    const unsigned repeats = axes.repeats(u, duplicate_cos);
    const AxisVerdicts verdicts = judge_axes(u, path, static_speed, abs_tol, rel_tol);
    const bool first_new = !(repeats & 1);
    const bool second_new = second && !(repeats & 2) &&
                            !(first_new && std::fabs(dot(lane(u, 1), lane(u, 0))) >= duplicate_cos);
    for (int i = 0; i < 2; ++i) {
      if (!(i == 0 ? first_new : second_new)) continue;
      axes.append(lane(u, i));
      const CcdReason separated = narrow(verdicts, i, w);
      if (separated == kCcdOk) continue;
      r.status = kCcdSeparated;
      r.axis_count = axes.count;
      r.skipped_axes = skipped;
      r.reason = separated;
      return r;
    }
  }
  if (axes.count == 0) {
    r.axis_count = skipped;
    r.skipped_axes = skipped;
    r.reason = kCcdNoAxis;
    return r;
  }
  write_contact(w, axes.count, skipped, r);
  return r;
}

}  // namespace two_at_a_time
}  // namespace

bool triangle_is_degenerate(const double triangle[9], double abs_tol, double rel_tol) {
  return one_at_a_time::is_degenerate(one_at_a_time::describe(triangle), abs_tol, rel_tol);
}

TriangleCcdResult translating_triangle_ccd(const double moving[9], const double obstacle[9],
                                           const double velocity[3], double t0, double t1,
                                           double abs_tol, double rel_tol, double sin_tol) {
  const TriangleCcdResult r =
      two_at_a_time::evaluate(moving, obstacle, velocity, t0, t1, abs_tol, rel_tol, sin_tol);
  const bool nan_window = std::isnan(r.enter) || std::isnan(r.exit) || std::isnan(r.strict_enter) ||
                          std::isnan(r.strict_exit);
  if (!nan_window) return r;
  return one_at_a_time::evaluate(moving, obstacle, velocity, t0, t1, abs_tol, rel_tol, sin_tol);
}

}  // namespace zet
