// Three-component vectors for the geometry kernels, over double or over a pair of lanes
// (two doubles computed side by side, each lane rounding exactly like a scalar).
#pragma once
#include <cmath>

namespace zet {

// Two doubles in one register; every operation acts on each lane as the scalar one would.
using Pair = double __attribute__((vector_size(16)));

template <class F>
struct V3 {
  F x, y, z;
};
using Vec3 = V3<double>;

inline Vec3 load(const double* p) { return {p[0], p[1], p[2]}; }

template <class F>
V3<F> sub(V3<F> a, V3<F> b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
template <class F>
V3<F> cross(V3<F> a, V3<F> b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
template <class F>
F dot(V3<F> a, V3<F> b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline double norm(Vec3 a) { return std::sqrt(dot(a, a)); }

}  // namespace zet
