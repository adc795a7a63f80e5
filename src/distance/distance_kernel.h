// Conservative distance of two triangles: the smallest of the fifteen feature distances
// (six vertex-triangle pairs, nine edge-edge pairs), or 0 where an edge of one passes
// through the other, bracketed by a tolerance that scales with the coordinates. Pure functions over
// plain arrays: no allocation and no shared state, so any number of threads may call them at once.
#pragma once
#include <cstdint>

namespace zet {

// Feature codes, which are also the order in which the features are evaluated:
// 0..2 vertex k of A against triangle B, 3..5 vertex k of B against triangle A,
// 6 + 3 * i + j edge i of A against edge j of B (edge k runs from vertex k to k + 1 mod 3).
// Crossing triangles come after them: 15 + k edge k of A passing through triangle B,
// 18 + k edge k of B passing through triangle A.
inline constexpr int32_t kFeatureVertexOfA = 0;
inline constexpr int32_t kFeatureVertexOfB = 3;
inline constexpr int32_t kFeatureEdgeEdge = 6;
inline constexpr int32_t kFeatureEdgeOfAThroughB = 15;
inline constexpr int32_t kFeatureEdgeOfBThroughA = 18;

struct TriangleDistance {
  double lower;       // max(0, d - tau)
  double upper;       // d + tau
  double point_a[3];  // closest point on A (for crossing triangles, where they cross)
  double point_b[3];  // closest point on B (the same point when they cross)
  int32_t feature;    // code of the feature pair, or of the crossing edge, that gave d
};

// The point of triangle (a, b, c) nearest to p, by the Voronoi regions of its vertices and
// edges; a degenerate triangle that none of the region tests catches falls back to the
// nearest point of its three edges.
void closest_point_on_triangle(const double p[3], const double a[3], const double b[3],
                               const double c[3], double out[3]);

// The nearest points c1 on segment p1q1 and c2 on segment p2q2.
void closest_points_on_segments(const double p1[3], const double q1[3], const double p2[3],
                                const double q2[3], double c1[3], double c2[3]);

// a and b are three vertices each (x, y, z per vertex). When the fifteen features leave a
// positive distance but an edge of one triangle passes strictly through the plane of the
// other inside that triangle (or on its boundary), the distance is 0, both points are where
// the first such edge meets the plane (A's edges 0, 1, 2 before B's) and the code is that
// edge's crossing code. The tolerance is
// absolute_tolerance + relative_tolerance * max(1, largest absolute input coordinate);
// neither tolerance is checked, so negative values narrow the bracket. A NaN coordinate
// makes both bounds NaN; a NaN feature distance never replaces a finite best.
TriangleDistance conservative_triangle_distance(const double a[9], const double b[9],
                                                double absolute_tolerance,
                                                double relative_tolerance);

}  // namespace zet
