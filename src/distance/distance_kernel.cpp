#include "distance/distance_kernel.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "runtime/float_order.h"
#include "runtime/vec3.h"

// The lane formulas below are templates over the number type: double for one evaluation,
// or Pair, two doubles in one vector register (the GCC/Clang vector extension), which
// evaluates two features of the sweep at once. Region and clamping decisions are
// selections between values that are all computed, not early returns, so the sweep runs
// without branches on the data. Every selected value is computed by exactly the operations
// of the branching formulation and vector lanes round like scalars, so the results are the
// same bits either way. The lane formulas are always inlined: passed by value to a call,
// the vector triples would go through memory.

namespace zet {
namespace {

// One unit of float64 rounding: squared segment lengths at or below it count as points.
constexpr double kEpsilon = 2.220446049250313e-16;

// A comparison of F values: bool for double, a lane mask for Pair. Masks combine with
// &&, || and ! and select with c ? x : y lane by lane.
template <class F>
using Cond = decltype(F{} < F{});

template <class F>
V3<F> add(V3<F> a, V3<F> b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
template <class F>
V3<F> scale(F s, V3<F> v) {
  return {s * v.x, s * v.y, s * v.z};
}
template <class F>
V3<F> pick(Cond<F> first, V3<F> a, V3<F> b) {
  return {first ? a.x : b.x, first ? a.y : b.y, first ? a.z : b.z};
}

// clamp(x, 0, 1) as x < 0 ? 0 : (x > 1 ? 1 : x): a NaN passes through unchanged.
template <class F>
F clamp01(F x) {
  return x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x);
}
// max(x, y) as x > y ? x : y: a NaN in y passes through, a NaN in x gives way to y.
double max_of(double x, double y) { return max_as_written(x, y); }

void store(Vec3 v, double* out) {
  out[0] = v.x;
  out[1] = v.y;
  out[2] = v.z;
}
// Two points side by side: u in lane 0, v in lane 1.
V3<Pair> load_pair(const double* u, const double* v) {
  return {Pair{u[0], v[0]}, Pair{u[1], v[1]}, Pair{u[2], v[2]}};
}
Vec3 lane(V3<Pair> v, int i) { return {v.x[i], v.y[i], v.z[i]}; }

// ---------------------------------------------------------------- point and triangle

// The nearest point of the closed segment s0 s1 to p; a segment of zero length is its start.
Vec3 nearest_on_segment(Vec3 p, Vec3 s0, Vec3 s1) {
  const Vec3 e = sub(s1, s0);
  const double length2 = dot(e, e);
  const double t = length2 == 0.0 ? 0.0 : clamp01(dot(sub(p, s0), e) / length2);
  return add(s0, scale(t, e));
}

void keep_closer(Vec3 p, Vec3 candidate, Vec3& best, double& best_d2) {
  const Vec3 gap = sub(p, candidate);
  const double d2 = dot(gap, gap);
  if (d2 < best_d2) {
    best = candidate;
    best_d2 = d2;
  }
}

// Fallback for a degenerate triangle: the nearest of its edges a->b, b->c, c->a, a later
// edge winning only when strictly closer.
Vec3 nearest_on_edges(Vec3 p, Vec3 a, Vec3 b, Vec3 c) {
  Vec3 best = nearest_on_segment(p, a, b);
  const Vec3 gap = sub(p, best);
  double best_d2 = dot(gap, gap);
  keep_closer(p, nearest_on_segment(p, b, c), best, best_d2);
  keep_closer(p, nearest_on_segment(p, c, a), best, best_d2);
  return best;
}

template <class F>
struct RegionPoint {
  V3<F> point;
  Cond<F> needs_edges;  // no region claimed p and the face weights sum to 0
};

// The point of triangle (a, b, c) nearest to p by the Voronoi regions, which claim p in
// the order vertex a, vertex b, edge ab, vertex c, edge ac, edge bc, face: the first region
// whose test holds gives the point. Where none holds and the face weights sum to exactly 0
// (a degenerate triangle), needs_edges is set and the caller takes nearest_on_edges.
template <class F>
[[gnu::always_inline]] inline RegionPoint<F> nearest_by_regions(V3<F> p, V3<F> a, V3<F> b,
                                                                V3<F> c) {
  const V3<F> ab = sub(b, a), ac = sub(c, a), ap = sub(p, a);
  const F d1 = dot(ab, ap), d2 = dot(ac, ap);
  const V3<F> bp = sub(p, b);
  const F d3 = dot(ab, bp), d4 = dot(ac, bp);
  const F vc = d1 * d4 - d3 * d2;
  const V3<F> cp = sub(p, c);
  const F d5 = dot(ab, cp), d6 = dot(ac, cp);
  const F vb = d5 * d2 - d1 * d6;
  const F va = d3 * d6 - d5 * d4;
  const F along_bc = d4 - d3, along_cb = d5 - d6;
  const F sum = va + vb + vc;

  const Cond<F> at_a = d1 <= 0.0 && d2 <= 0.0;
  const Cond<F> at_b = d3 >= 0.0 && d4 <= d3;
  const Cond<F> on_ab = vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0;
  const Cond<F> at_c = d6 >= 0.0 && d5 <= d6;
  const Cond<F> on_ac = vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0;
  const Cond<F> on_bc = va <= 0.0 && along_bc >= 0.0 && along_cb >= 0.0;

  // Each edge parameter is 0 when its denominator is exactly 0.
  const F den_ab = d1 - d3, den_ac = d2 - d6, den_bc = along_bc + along_cb;
  const F v_ab = den_ab == 0.0 ? 0.0 : d1 / den_ab;
  const F w_ac = den_ac == 0.0 ? 0.0 : d2 / den_ac;
  const F w_bc = den_bc == 0.0 ? 0.0 : along_bc / den_bc;
  const F r = 1.0 / sum;
  const V3<F> point_ab = add(a, scale(v_ab, ab));
  const V3<F> point_ac = add(a, scale(w_ac, ac));
  const V3<F> point_bc = add(b, scale(w_bc, sub(c, b)));
  const V3<F> face = add(add(a, scale(vb * r, ab)), scale(vc * r, ac));

  // Later regions first, so that each earlier one overrides them.
  V3<F> q = pick<F>(on_bc, point_bc, face);
  q = pick<F>(on_ac, point_ac, q);
  q = pick<F>(at_c, c, q);
  q = pick<F>(on_ab, point_ab, q);
  q = pick<F>(at_b, b, q);
  q = pick<F>(at_a, a, q);
  const Cond<F> in_region = at_a || at_b || on_ab || at_c || on_ac || on_bc;
  return {q, !in_region && sum == 0.0};
}

// ---------------------------------------------------------------- segment pairs

template <class F>
struct SegmentPoints {
  V3<F> c1, c2;
};

// Nearest points c1 = p1 + s d1 and c2 = p2 + t d2 of two segments. A segment whose squared
// length is at most kEpsilon counts as a point (an absolute test); the segments count as
// parallel when |a e - b^2| <= kEpsilon a e (a relative test), and s then starts at 0.
template <class F>
[[gnu::always_inline]] inline SegmentPoints<F> nearest_on_segments(V3<F> p1, V3<F> q1, V3<F> p2,
                                                                   V3<F> q2) {
  const V3<F> d1 = sub(q1, p1), d2 = sub(q2, p2), r = sub(p1, p2);
  const F a = dot(d1, d1), e = dot(d2, d2), f = dot(d2, r);
  const F c = dot(d1, r), b = dot(d1, d2);
  const F den = a * e - b * b;
  const Cond<F> first_is_point = a <= kEpsilon, second_is_point = e <= kEpsilon;

  // Both segments proper: s from the unclamped optimum, then t = (b s + f) / e; a t
  // outside [0, 1] is clamped and s recomputed for that end: -c / a at t = 0,
  // (b - c) / a at t = 1. The second segment a point: t = 0 and s = -c / a. The first a
  // point: s = 0 and t = clamp(f / e), or t = 0 when both are points. So in every case
  // t is 0 for a point and clamp(t_free) otherwise.
  const F limit = kEpsilon * a * e;
  const Cond<F> parallel = den <= limit && -den <= limit;  // |den| <= limit; NaN is not
  const F s_free = parallel ? 0.0 : clamp01((b * f - c * e) / den);
  const F t_free = (first_is_point ? f : b * s_free + f) / e;
  const F s_start = clamp01(-c / a), s_end = clamp01((b - c) / a);
  const F s = first_is_point
                  ? 0.0
                  : (second_is_point || t_free < 0.0 ? s_start : (t_free > 1.0 ? s_end : s_free));
  const F t = second_is_point ? 0.0 : clamp01(t_free);
  return {add(p1, scale(s, d1)), add(p2, scale(t, d2))};
}

// ---------------------------------------------------------------- the feature sweep

constexpr int kFeatures = 15;

template <class F>
F squared_distance(V3<F> u, V3<F> v) {
  const V3<F> gap = sub(u, v);
  return dot(gap, gap);
}

// Both closest points of every feature code and their squared distance |a - b|^2 (the
// same bits as |b - a|^2), one array per coordinate so that codes 2m and 2m + 1 move as one
// Pair. Slot 15 is padding.
struct Candidates {
  double ax[16], ay[16], az[16], bx[16], by[16], bz[16], squared[16];

  void set_pair(int code, V3<Pair> a, V3<Pair> b, Pair d2) {
    std::memcpy(ax + code, &a.x, sizeof(Pair));
    std::memcpy(ay + code, &a.y, sizeof(Pair));
    std::memcpy(az + code, &a.z, sizeof(Pair));
    std::memcpy(bx + code, &b.x, sizeof(Pair));
    std::memcpy(by + code, &b.y, sizeof(Pair));
    std::memcpy(bz + code, &b.z, sizeof(Pair));
    std::memcpy(squared + code, &d2, sizeof(Pair));
  }
  void set(int code, Vec3 a, Vec3 b, double d2) {
    ax[code] = a.x, ay[code] = a.y, az[code] = a.z;
    bx[code] = b.x, by[code] = b.y, bz[code] = b.z;
    squared[code] = d2;
  }
  Vec3 a(int code) const { return {ax[code], ay[code], az[code]}; }
  Vec3 b(int code) const { return {bx[code], by[code], bz[code]}; }
};

// Vertex codes `code` and code + 1 side by side: lane i is the point p_i against triangle
// t_i. A vertex of A (codes 0..2) is point_a of its candidate, a vertex of B (codes 3..5)
// point_b.
[[gnu::always_inline]] inline void vertex_pair(const double* p0, const double* t0, const double* p1,
                                               const double* t1, int code, Candidates& out) {
  const V3<Pair> p = load_pair(p0, p1);
  const V3<Pair> a = load_pair(t0, t1), b = load_pair(t0 + 3, t1 + 3);
  const V3<Pair> c = load_pair(t0 + 6, t1 + 6);
  const RegionPoint<Pair> r = nearest_by_regions(p, a, b, c);
  const Cond<Pair> of_a = {code < kFeatureVertexOfB ? -1 : 0,
                           code + 1 < kFeatureVertexOfB ? -1 : 0};
  out.set_pair(code, pick<Pair>(of_a, p, r.point), pick<Pair>(of_a, r.point, p),
               squared_distance(p, r.point));
  if (r.needs_edges[0] || r.needs_edges[1])  // degenerate triangles only
    for (int i = 0; i < 2; ++i) {
      if (!r.needs_edges[i]) continue;
      const Vec3 vertex = lane(p, i);
      const Vec3 q = nearest_on_edges(vertex, lane(a, i), lane(b, i), lane(c, i));
      const bool vertex_of_a = code + i < kFeatureVertexOfB;
      out.set(code + i, vertex_of_a ? vertex : q, vertex_of_a ? q : vertex,
              squared_distance(vertex, q));
    }
}

// Edge-edge codes 6 + 3 i0 + j0 and the next side by side: lane n is edge i_n of A against
// edge j_n of B. The last code, 14, is evaluated twice and its copy lands in the padding.
template <int i0, int j0, int i1, int j1>
[[gnu::always_inline]] inline void edge_pair(const double* a, const double* b, Candidates& out) {
  const SegmentPoints<Pair> s = nearest_on_segments(
      load_pair(a + 3 * i0, a + 3 * i1), load_pair(a + 3 * ((i0 + 1) % 3), a + 3 * ((i1 + 1) % 3)),
      load_pair(b + 3 * j0, b + 3 * j1), load_pair(b + 3 * ((j0 + 1) % 3), b + 3 * ((j1 + 1) % 3)));
  out.set_pair(kFeatureEdgeEdge + 3 * i0 + j0, s.c1, s.c2, squared_distance(s.c1, s.c2));
}

// The code that a sweep over the distances sqrt(squared) keeps when only a strictly smaller
// distance replaces the best: the lowest code of the smallest distance, a NaN never taking
// over and a NaN at code 0 never giving way. sqrt is monotone, so the first code of the
// smallest square has the smallest distance, and a lower code wins instead only if its
// larger square rounds to the same root. Two such squares differ by a factor below
// 1 + 2^-50 (or are equal, among subnormals), so only squares within 1 + 2^-48 of the
// smallest need their root taken.
int32_t closest_feature(const double* squared, double& distance) {
  double best = squared[0];
  int32_t feature = 0;
  for (int k = 1; k < kFeatures; ++k) {
    const bool closer = squared[k] < best;
    best = closer ? squared[k] : best;
    feature = closer ? k : feature;
  }
  distance = std::sqrt(best);
  const double near = best * (1.0 + 0x1p-48);
  for (int k = 0; k < feature; ++k)
    if (squared[k] <= near && std::sqrt(squared[k]) == distance) return k;
  return feature;
}

// The largest absolute value of the eighteen coordinates. A NaN coordinate makes it NaN
// (and so the tolerance and both bounds), which no threshold test of a caller passes.
double largest_magnitude(const double* a, const double* b) {
  double m = 0.0;
  bool nan = false;
  for (int i = 0; i < 9; ++i) {
    const double x = std::fabs(a[i]), y = std::fabs(b[i]);
    m = max_of(max_of(m, x), y);
    nan = nan | (x != x) | (y != y);
  }
  return nan ? std::numeric_limits<double>::quiet_NaN() : m;
}

// ---------------------------------------------------------------- crossing triangles

// The signed volume of p, q, r, s: positive when s lies on the side of the plane p, q, r
// that its normal (q - p) x (r - p) points to.
template <class F>
F orient(V3<F> p, V3<F> q, V3<F> r, V3<F> s) {
  return dot(cross(sub(q, p), sub(r, p)), sub(s, p));
}

// Whether u and v have strict and opposite signs; never for a NaN.
template <class F>
Cond<F> opposite(F u, F v) {
  return (u > 0.0 && v < 0.0) || (u < 0.0 && v > 0.0);
}

// Signed volumes of the lines of A's edges i and B's edges j, o[3 i + j] = orient(A_i,
// A_i+1, B_j, B_j+1), for two (i, j) at a time; the last call fills the padding o[9].
template <int i0, int j0, int i1, int j1>
[[gnu::always_inline]] inline void line_pair(const double* a, const double* b, double* o) {
  const Pair v = orient(
      load_pair(a + 3 * i0, a + 3 * i1), load_pair(a + 3 * ((i0 + 1) % 3), a + 3 * ((i1 + 1) % 3)),
      load_pair(b + 3 * j0, b + 3 * j1), load_pair(b + 3 * ((j0 + 1) % 3), b + 3 * ((j1 + 1) % 3)));
  std::memcpy(o + 3 * i0 + j0, &v, sizeof(Pair));
}

// Whether an edge whose ends lie strictly on opposite sides of a triangle's plane passes
// through the triangle, from the signed volumes of the edge's line with the lines of the
// triangle's three edges: inside or on the boundary when they share a sign, not all 0
// (the edge would lie in the plane).
bool through(double o1, double o2, double o3) {
  const bool nonnegative = o1 >= 0.0 && o2 >= 0.0 && o3 >= 0.0;
  const bool nonpositive = o1 <= 0.0 && o2 <= 0.0 && o3 <= 0.0;
  return (nonnegative || nonpositive) && !(o1 == 0.0 && o2 == 0.0 && o3 == 0.0);
}

struct Crossing {
  int32_t feature;  // -1: none
  Vec3 point;
};

// The first edge that passes through the other triangle, A's edges 0, 1, 2 through B before
// B's edges through A, and the point where it meets that triangle's plane. Two triangles
// that meet have a feature distance of 0 unless an edge of one passes strictly through the
// plane of the other inside it: a touching vertex or edge is a feature pair at distance 0.
//
// Each edge is judged by the plane of the triangle it may pass through alone. A triangle
// wholly on one side of the other's plane cannot meet it, but that plane may be rounding
// noise: the normal of a triangle whose vertices are collinear but for rounding says
// nothing about where the other triangle lies, while its edges may pass cleanly through
// the other triangle. A triangle of exactly zero area has a normal of exactly 0, so
// nothing passes through it, while its edges may pass through the other. The signed
// volume of two edge lines is the same for either line first, so one set of nine serves
// both directions.
//
// Rounding can make these tests miss a crossing only where the crossing point lies within
// rounding error of the other triangle's boundary, or an end of the edge within rounding
// error of the other's plane next to the crossing point; there an edge-edge or
// vertex-triangle distance is already of the order of that rounding, far below any
// tolerance of use, so no exact predicates are needed.
Crossing first_crossing(const double* a, const double* b) {
  // Lane 0: A's vertices against B's plane; lane 1: B's vertices against A's plane.
  const V3<Pair> e0 = load_pair(a, b), e1 = load_pair(a + 3, b + 3), e2 = load_pair(a + 6, b + 6);
  const V3<Pair> f0 = load_pair(b, a), f1 = load_pair(b + 3, a + 3), f2 = load_pair(b + 6, a + 6);
  const V3<Pair> normal = cross(sub(f1, f0), sub(f2, f0));
  const Pair h[3] = {dot(normal, sub(e0, f0)), dot(normal, sub(e1, f0)), dot(normal, sub(e2, f0))};
  const Cond<Pair> straddles[3] = {opposite(h[0], h[1]), opposite(h[1], h[2]),
                                   opposite(h[2], h[0])};
  // Most pairs end here, with no edge from one side of the other triangle's plane to the
  // other.
  const Cond<Pair> some = straddles[0] || straddles[1] || straddles[2];
  if (!(some[0] || some[1])) return {-1, {}};

  double o[10];
  line_pair<0, 0, 0, 1>(a, b, o);
  line_pair<0, 2, 1, 0>(a, b, o);
  line_pair<1, 1, 1, 2>(a, b, o);
  line_pair<2, 0, 2, 1>(a, b, o);
  line_pair<2, 2, 2, 2>(a, b, o);
  // Bit 3 side + k: edge k of A (side 0) or of B (side 1) passes through the other.
  unsigned found = 0;
  for (int k = 0; k < 3; ++k) {
    found |= unsigned(straddles[k][0] != 0 && through(o[3 * k], o[3 * k + 1], o[3 * k + 2])) << k;
    found |= unsigned(straddles[k][1] != 0 && through(o[k], o[3 + k], o[6 + k])) << (3 + k);
  }
  if (found == 0) return {-1, {}};
  const int first = __builtin_ctz(found), side = first / 3, k = first % 3;
  const int next = k == 2 ? 0 : k + 1;
  const double* edge = side == 0 ? a : b;
  const Vec3 p = load(edge + 3 * k), q = load(edge + 3 * next);
  const double hp = h[k][side], hq = h[next][side];
  const double s = hp / (hp - hq);
  return {(side == 0 ? kFeatureEdgeOfAThroughB : kFeatureEdgeOfBThroughA) + k,
          add(p, scale(s, sub(q, p)))};
}

}  // namespace

void closest_point_on_triangle(const double p[3], const double a[3], const double b[3],
                               const double c[3], double out[3]) {
  const Vec3 vp = load(p), va = load(a), vb = load(b), vc = load(c);
  const RegionPoint<double> r = nearest_by_regions(vp, va, vb, vc);
  store(r.needs_edges ? nearest_on_edges(vp, va, vb, vc) : r.point, out);
}

void closest_points_on_segments(const double p1[3], const double q1[3], const double p2[3],
                                const double q2[3], double c1[3], double c2[3]) {
  const SegmentPoints<double> s = nearest_on_segments(load(p1), load(q1), load(p2), load(q2));
  store(s.c1, c1);
  store(s.c2, c2);
}

TriangleDistance conservative_triangle_distance(const double a[9], const double b[9],
                                                double absolute_tolerance,
                                                double relative_tolerance) {
  Candidates candidates;
  vertex_pair(a, b, a + 3, b, kFeatureVertexOfA, candidates);
  vertex_pair(a + 6, b, b, a, kFeatureVertexOfA + 2, candidates);
  vertex_pair(b + 3, a, b + 6, a, kFeatureVertexOfB + 1, candidates);
  edge_pair<0, 0, 0, 1>(a, b, candidates);
  edge_pair<0, 2, 1, 0>(a, b, candidates);
  edge_pair<1, 1, 1, 2>(a, b, candidates);
  edge_pair<2, 0, 2, 1>(a, b, candidates);
  edge_pair<2, 2, 2, 2>(a, b, candidates);
  double best;
  int32_t feature = closest_feature(candidates.squared, best);
  Vec3 point_a = candidates.a(feature), point_b = candidates.b(feature);

  // Triangles that cross each other are at distance 0 however far apart their features
  // are. Only pairs of finite coordinates with a positive finite distance are tested, so
  // NaN bounds stay NaN with the sweep's points and code.
  const double largest = largest_magnitude(a, b);
  if (best > 0.0 && best <= std::numeric_limits<double>::max() &&
      largest <= std::numeric_limits<double>::max()) {
    const Crossing crossing = first_crossing(a, b);
    if (crossing.feature >= 0) {
      best = 0.0;
      feature = crossing.feature;
      point_a = point_b = crossing.point;
    }
  }

  const double tau = absolute_tolerance + relative_tolerance * max_of(1.0, largest);
  TriangleDistance r;
  r.lower = max_of(0.0, best - tau);  // a NaN difference stays NaN
  r.upper = best + tau;
  store(point_a, r.point_a);
  store(point_b, r.point_b);
  r.feature = feature;
  return r;
}

}  // namespace zet
