// Vertex coordinates and bounding box of one triangle of a mesh.
#pragma once
#include "tree/tree_view.h"

namespace zet {

struct TriangleCoords {
  double xyz[9];  // the three vertices, x y z each
  double lo[3], hi[3];
};

inline void load_triangle(const TreeView& mesh, uint32_t t, TriangleCoords& out) {
  const uint32_t* v = mesh.triangle(t);
  for (int k = 0; k < 3; ++k)
    for (int d = 0; d < 3; ++d) out.xyz[3 * k + d] = mesh.vertex(v[k])[d];
  for (int d = 0; d < 3; ++d) {
    double lo = out.xyz[d], hi = out.xyz[d];
    for (int k = 1; k < 3; ++k) {
      const double x = out.xyz[3 * k + d];
      if (x < lo) lo = x;
      if (x > hi) hi = x;
    }
    out.lo[d] = lo;
    out.hi[d] = hi;
  }
}

}  // namespace zet
