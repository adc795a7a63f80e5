// Area of the overlap of two planar triangles given in one 2D frame: the subject triangle
// clipped against the three edge half-planes of the clip triangle.
#pragma once
#include <cstdint>

namespace zet {

// subject and clip point at 6 doubles each (three vertices, x before y). A point counts
// as inside an edge when its signed value is at least -tolerance.
double clipped_overlap_area(const double* subject, const double* clip, double tolerance);

// Areas of pairs [begin, end) of the (n, 3, 2) arrays, written to areas[begin, end).
void clipped_overlap_area_rows(const double* subject, const double* clip, double tolerance,
                               double* areas, int64_t begin, int64_t end);

}  // namespace zet
