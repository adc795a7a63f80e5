#include "checks/overlap_kernel.h"

#include <cmath>

#include "checks/overlap_lanes.h"
#include "runtime/cpu_lanes.h"

namespace zet {
namespace {

// Three half-planes cut a triangle into at most 6 vertices in exact arithmetic; the cap
// only bounds what rounding could produce.
constexpr int kMaxPolygon = 16;

struct Point {
  double x, y;
};

// One Sutherland-Hodgman pass of `in` against the edge a -> b. Returns the output count,
// or -1 when every vertex is inside: the pass would then reproduce its input unchanged.
// kFixedCount, when not 0, is the input count known at compile time (the first pass always
// clips the three vertices of the subject), which lets the loops unroll.
template <int kFixedCount>
int clip_against_edge(const Point* in, int in_count, Point a, Point b, double sigma,
                      double tolerance, Point* out) {
  if constexpr (kFixedCount != 0) in_count = kFixedCount;
  const double ex = b.x - a.x, ey = b.y - a.y;
  double d[kMaxPolygon];
  bool all_inside = true;
  for (int k = 0; k < in_count; ++k) {
    d[k] = sigma * (ex * (in[k].y - a.y) - ey * (in[k].x - a.x));
    all_inside &= d[k] >= -tolerance;
  }
  if (all_inside) return -1;
  // Both candidate points are written at out[count] and only the count depends on the
  // tests: the outcomes vary from vertex to vertex, and branches on them would mispredict.
  // out has one spare slot beyond the cap for these speculative writes.
  int count = 0;
  Point prev = in[in_count - 1];
  double d_prev = d[in_count - 1];
  for (int k = 0; k < in_count; ++k) {
    const Point cur = in[k];
    const double d_cur = d[k];
    const bool prev_in = d_prev >= -tolerance, cur_in = d_cur >= -tolerance;
    const double t = d_prev / (d_prev - d_cur);
    out[count] = {prev.x + (cur.x - prev.x) * t, prev.y + (cur.y - prev.y) * t};
    count += (prev_in != cur_in) & (std::fabs(d_prev - d_cur) > kOverlapCrossingEpsilon) &
             (count < kMaxPolygon);
    out[count] = cur;
    count += cur_in & (count < kMaxPolygon);
    prev = cur;
    d_prev = d_cur;
  }
  return count;
}

}  // namespace

double clipped_overlap_area(const double* subject, const double* clip, double tolerance) {
  const Point c[3] = {{clip[0], clip[1]}, {clip[2], clip[3]}, {clip[4], clip[5]}};
  const double det = (c[1].x - c[0].x) * (c[2].y - c[0].y) - (c[2].x - c[0].x) * (c[1].y - c[0].y);
  const double sigma = det >= 0 ? 1.0 : -1.0;  // a degenerate clip counts as counter-clockwise

  // The two buffers take turns as input and output of the passes.
  Point buffers[2][kMaxPolygon + 1];
  buffers[0][0] = {subject[0], subject[1]};
  buffers[0][1] = {subject[2], subject[3]};
  buffers[0][2] = {subject[4], subject[5]};
  int current = 0, count = 3;
  int clipped = clip_against_edge<3>(buffers[0], 3, c[0], c[1], sigma, tolerance, buffers[1]);
  if (clipped >= 0) {  // otherwise nothing was cut off by this edge
    count = clipped;
    current = 1;
  }
  for (int j = 1; j < 3 && count > 0; ++j) {
    clipped = clip_against_edge<0>(buffers[current], count, c[j], c[j == 2 ? 0 : j + 1], sigma,
                                   tolerance, buffers[1 - current]);
    if (clipped < 0) continue;
    count = clipped;
    current = 1 - current;
  }
  if (count < 3) return 0.0;
  const Point* poly = buffers[current];
  double twice_area = 0.0;
  for (int k = 0; k < count; ++k) {
    const Point p = poly[k], q = poly[k + 1 == count ? 0 : k + 1];
    twice_area += p.x * q.y - p.y * q.x;
  }
  return 0.5 * std::fabs(twice_area);
}

void clipped_overlap_area_rows_scalar(const double* subject, const double* clip, double tolerance,
                                      double* areas, int64_t begin, int64_t end) {
  for (int64_t i = begin; i < end; ++i)
    areas[i] = clipped_overlap_area(subject + 6 * i, clip + 6 * i, tolerance);
}

namespace {

using RowsKernel = void (*)(const double*, const double*, double, double*, int64_t, int64_t);

}  // namespace

// The scalar pass branches on outcomes that vary from pair to pair and mispredicts often;
// the lane clipper has no such branches but needs 256-bit vectors to pay off.
void clipped_overlap_area_rows(const double* subject, const double* clip, double tolerance,
                               double* areas, int64_t begin, int64_t end) {
  static const RowsKernel kernel = widest_build<RowsKernel>(
      clipped_overlap_area_rows_scalar, ZET_LANE_BUILD(clipped_overlap_area_rows_avx2),
      ZET_LANE_BUILD(clipped_overlap_area_rows_avx512));
  kernel(subject, clip, tolerance, areas, begin, end);
}

}  // namespace zet
