#include "checks/overlap_kernel.h"

#include <cmath>

namespace zet {
namespace {

// Three half-planes cut a triangle into at most 6 vertices in exact arithmetic; the cap
// only bounds what rounding could produce.
constexpr int kMaxPolygon = 16;
constexpr double kCrossingEpsilon = 2.220446049250313e-16;

struct Point {
  double x, y;
};

// One Sutherland-Hodgman pass of `in` against the edge a -> b; returns the output count.
int clip_against_edge(const Point* in, int in_count, Point a, Point b, double sigma,
                      double tolerance, Point* out) {
  const double ex = b.x - a.x, ey = b.y - a.y;
  auto side = [&](Point p) { return sigma * (ex * (p.y - a.y) - ey * (p.x - a.x)); };
  int count = 0;
  Point prev = in[in_count - 1];
  double d_prev = side(prev);
  for (int k = 0; k < in_count; ++k) {
    const Point cur = in[k];
    const double d_cur = side(cur);
    const bool prev_in = d_prev >= -tolerance, cur_in = d_cur >= -tolerance;
    if (prev_in != cur_in && std::fabs(d_prev - d_cur) > kCrossingEpsilon && count < kMaxPolygon) {
      const double t = d_prev / (d_prev - d_cur);
      out[count++] = {prev.x + (cur.x - prev.x) * t, prev.y + (cur.y - prev.y) * t};
    }
    if (cur_in && count < kMaxPolygon) out[count++] = cur;
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
  Point buffers[2][kMaxPolygon] = {
      {{subject[0], subject[1]}, {subject[2], subject[3]}, {subject[4], subject[5]}}};
  int current = 0, count = 3;
  for (int j = 0; j < 3 && count > 0; ++j) {
    count = clip_against_edge(buffers[current], count, c[j], c[(j + 1) % 3], sigma, tolerance,
                              buffers[1 - current]);
    current = 1 - current;
  }
  if (count < 3) return 0.0;
  const Point* poly = buffers[current];
  double twice_area = 0.0;
  for (int k = 0; k < count; ++k) {
    const Point p = poly[k], q = poly[(k + 1) % count];
    twice_area += p.x * q.y - p.y * q.x;
  }
  return 0.5 * std::fabs(twice_area);
}

void clipped_overlap_area_rows(const double* subject, const double* clip, double tolerance,
                               double* areas, int64_t begin, int64_t end) {
  for (int64_t i = begin; i < end; ++i)
    areas[i] = clipped_overlap_area(subject + 6 * i, clip + 6 * i, tolerance);
}

}  // namespace zet
