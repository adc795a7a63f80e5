// Area of the overlap of two planar triangles given in one 2D frame: the subject triangle
// clipped against the three edge half-planes of the clip triangle.
#pragma once
#include <cstdint>

namespace zet {

// Two vertices on opposite sides of an edge give a crossing only when their signed values
// differ by more than this.
constexpr double kOverlapCrossingEpsilon = 2.220446049250313e-16;

// subject and clip point at 6 doubles each (three vertices, x before y). A point counts
// as inside an edge when its signed value is at least -tolerance.
double clipped_overlap_area(const double* subject, const double* clip, double tolerance);

// Areas of pairs [begin, end) of the (n, 3, 2) arrays, written to areas[begin, end), by the
// widest lane clipper this processor runs (the same bits as the scalar one).
void clipped_overlap_area_rows(const double* subject, const double* clip, double tolerance,
                               double* areas, int64_t begin, int64_t end);

// The same one pair at a time.
void clipped_overlap_area_rows_scalar(const double* subject, const double* clip, double tolerance,
                                      double* areas, int64_t begin, int64_t end);

}  // namespace zet
