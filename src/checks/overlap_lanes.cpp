// The lane clipper behind overlap_lanes.h, compiled once per lane width (see runtime/lanes.h).
//
// A polygon is kept in fixed slots with a validity mask per slot instead of a packed list,
// because the packed count differs from lane to lane. A pass over S slots emits 2S: slot 2k
// holds the crossing on the edge into input slot k, slot 2k+1 the input vertex itself. The
// valid slots, read in order, are exactly the packed list the scalar pass would build, and
// "the previous vertex" is the last valid slot before, which a running select keeps.
#include <cstdint>

#include "checks/overlap_kernel.h"
#include "checks/overlap_lanes.h"
#include "runtime/lanes.h"

namespace zet {
namespace {

struct Lanes {
  template <int S>
  struct Polygon {
    Real x[S], y[S];
    Mask valid[S];
  };

  // One clip pass against the edge a -> b; the scalar pass's formulas lane by lane.
  template <int S>
  static void clip_against_edge(const Polygon<S>& in, const Real& ax, const Real& ay,
                                const Real& bx, const Real& by, const Real& sigma,
                                const Real& neg_tolerance, Polygon<2 * S>& out) {
    const Real ex = bx - ax, ey = by - ay;
    Real d[S];
    for (int k = 0; k < S; ++k) d[k] = sigma * (ex * (in.y[k] - ay) - ey * (in.x[k] - ax));
    // The first vertex's predecessor is the last valid one.
    Real px = in.x[0], py = in.y[0], pd = d[0];
    for (int k = 1; k < S; ++k) {
      px = pick(in.valid[k], in.x[k], px);
      py = pick(in.valid[k], in.y[k], py);
      pd = pick(in.valid[k], d[k], pd);
    }
    const Real epsilon = splat(kOverlapCrossingEpsilon);
    for (int k = 0; k < S; ++k) {
      const Real cx = in.x[k], cy = in.y[k], cd = d[k];
      const Mask live = in.valid[k];
      const Mask cur_in = cd >= neg_tolerance, prev_in = pd >= neg_tolerance;
      const Real t = pd / (pd - cd);
      out.x[2 * k] = px + (cx - px) * t;
      out.y[2 * k] = py + (cy - py) * t;
      out.valid[2 * k] = live & (prev_in ^ cur_in) & (lane_abs(pd - cd) > epsilon);
      out.x[2 * k + 1] = cx;
      out.y[2 * k + 1] = cy;
      out.valid[2 * k + 1] = live & cur_in;
      px = pick(live, cx, px);
      py = pick(live, cy, py);
      pd = pick(live, cd, pd);
    }
  }

  // Twice the signed area summed in the scalar order (edge 0->1 first, the closing edge
  // last), and the number of valid slots.
  template <int S>
  static Real twice_area(const Polygon<S>& p, Mask& count) {
    Real sum{}, fx = p.x[0], fy = p.y[0], px = p.x[0], py = p.y[0];
    Mask seen{};
    count = Mask{};
    for (int s = 0; s < S; ++s) {
      const Mask live = p.valid[s];
      const Real term = px * p.y[s] - py * p.x[s];
      sum = pick(live & seen, sum + term, sum);
      fx = pick(live & ~seen, p.x[s], fx);
      fy = pick(live & ~seen, p.y[s], fy);
      seen |= live;
      px = pick(live, p.x[s], px);
      py = pick(live, p.y[s], py);
      count -= live;
    }
    return pick(seen, sum + (px * fy - py * fx), sum);
  }

  // Pairs [0, kLanes) of the arrays starting at subject and clip.
  static void areas(const double* subject, const double* clip, double tolerance, double* out) {
    Polygon<3> p0;
    Real c[6];
    for (int l = 0; l < kLanes; ++l) {
      for (int k = 0; k < 3; ++k) {
        p0.x[k][l] = subject[6 * l + 2 * k];
        p0.y[k][l] = subject[6 * l + 2 * k + 1];
      }
      for (int k = 0; k < 6; ++k) c[k][l] = clip[6 * l + k];
    }
    for (int k = 0; k < 3; ++k) p0.valid[k] = Mask{} - 1;
    const Real det = (c[2] - c[0]) * (c[5] - c[1]) - (c[4] - c[0]) * (c[3] - c[1]);
    const Real sigma = pick(det >= Real{}, splat(1.0), splat(-1.0));
    const Real neg_tolerance = splat(-tolerance);
    Polygon<6> p1;
    Polygon<12> p2;
    Polygon<24> p3;
    clip_against_edge(p0, c[0], c[1], c[2], c[3], sigma, neg_tolerance, p1);
    clip_against_edge(p1, c[2], c[3], c[4], c[5], sigma, neg_tolerance, p2);
    clip_against_edge(p2, c[4], c[5], c[0], c[1], sigma, neg_tolerance, p3);
    Mask count;
    const Real twice = twice_area(p3, count);
    const Real area = pick(count >= 3, splat(0.5) * lane_abs(twice), Real{});
    for (int l = 0; l < kLanes; ++l) out[l] = area[l];
  }

  static void rows(const double* subject, const double* clip, double tolerance, double* areas_out,
                   int64_t begin, int64_t end) {
    int64_t i = begin;
    for (; end - i >= kLanes; i += kLanes)
      areas(subject + 6 * i, clip + 6 * i, tolerance, areas_out + i);
    for (; i < end; ++i)
      areas_out[i] = clipped_overlap_area(subject + 6 * i, clip + 6 * i, tolerance);
  }
};

}  // namespace
}  // namespace zet

namespace zet {

void ZET_LANE_ENTRY(clipped_overlap_area_rows)(const double* subject, const double* clip,
                                               double tolerance, double* areas, int64_t begin,
                                               int64_t end) {
  Lanes::rows(subject, clip, tolerance, areas, begin, end);
}

}  // namespace zet
