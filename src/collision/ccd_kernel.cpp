#include "collision/ccd_kernel.h"

#include <cmath>

namespace zet {
namespace {

constexpr int kMaxAxes = 17;

struct Vec3 {
  double x, y, z;
};

Vec3 load(const double* p) { return {p[0], p[1], p[2]}; }
Vec3 sub(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 cross(Vec3 a, Vec3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double norm(Vec3 a) { return std::sqrt(dot(a, a)); }

// min(x, y) is y unless x < y and max(x, y) is y unless x > y, so a NaN in y always
// propagates and a NaN in x gives way to y.
double min_of(double x, double y) { return x < y ? x : y; }
double max_of(double x, double y) { return x > y ? x : y; }

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

// The contact and strict windows narrowed axis by axis.
struct Windows {
  double enter, exit, strict_enter, strict_exit;
  bool strict_overlap;
};

// Narrows the windows by one unit axis; returns the separation reason, or kCcdOk when the
// axis does not separate within the windows.
CcdReason test_axis(Vec3 u, const Triangle& a, const Triangle& b, Vec3 v, double static_speed,
                    double abs_tol, double rel_tol, Windows& w) {
  const Interval pa = project(u, a.p), pb = project(u, b.p);
  const double scale =
      max_of(max_of(max_of(std::fabs(pa.lo), std::fabs(pa.hi)), std::fabs(pb.lo)),
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

}  // namespace

bool triangle_is_degenerate(const double triangle[9], double abs_tol, double rel_tol) {
  return is_degenerate(describe(triangle), abs_tol, rel_tol);
}

TriangleCcdResult translating_triangle_ccd(const double moving[9], const double obstacle[9],
                                           const double velocity[3], double t0, double t1,
                                           double abs_tol, double rel_tol, double sin_tol) {
  TriangleCcdResult r{kCcdUncertain, t0, t1, 0, t0, t1, 0, 0, kCcdMovingDegenerate};
  const Triangle a = describe(moving);
  if (is_degenerate(a, abs_tol, rel_tol)) return r;
  const Triangle b = describe(obstacle);
  if (is_degenerate(b, abs_tol, rel_tol)) {
    r.reason = kCcdObstacleDegenerate;
    return r;
  }

  // Each accepted axis is tested at once, in list order, so a separated pair skips the
  // normalisation and duplicate checks of the later candidates; those are still classified,
  // because skipped_axes counts every rejected candidate.
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

  // No usable axis separates; skipped candidates could have, so they make it uncertain.
  const bool uncertain = skipped > 0;
  r.status = uncertain ? kCcdUncertain : kCcdContact;
  r.enter = w.enter;
  r.exit = w.exit;
  r.strict = w.strict_overlap && w.strict_exit >= w.strict_enter ? 1 : 0;
  r.strict_enter = w.strict_enter;
  r.strict_exit = w.strict_exit;
  r.axis_count = count;
  r.skipped_axes = skipped;
  r.reason = uncertain ? kCcdUntestedAxes : kCcdOk;
  return r;
}

}  // namespace zet
