#include "rays/coherent_order.h"

#include <cmath>
#include <limits>

namespace zet {
namespace {

constexpr int kGridBits = 9;  // 512 cells a side
constexpr double kGridSide = 1 << kGridBits;

// The bits of x spread to the even positions.
uint32_t spread_bits(uint32_t x) {
  x = (x | (x << 8)) & 0x00FF00FFu;
  x = (x | (x << 4)) & 0x0F0F0F0Fu;
  x = (x | (x << 2)) & 0x33333333u;
  x = (x | (x << 1)) & 0x55555555u;
  return x;
}

// The cell of a coordinate: 0 for NaN and below the range, the last cell at its top.
uint32_t grid_cell(double value, double low, double scale) {
  const double x = (value - low) * scale;
  if (!(x >= 0.0)) return 0;
  return x < kGridSide - 1 ? static_cast<uint32_t>(x) : (1u << kGridBits) - 1;
}

}  // namespace

bool coherent_order(const double* points, int64_t count, const double direction[3],
                    uint32_t* keys, uint32_t* cell_starts, uint32_t* order) {
  // Two axes across the direction: its cross products with the coordinate axis it is least
  // aligned with, and then with the first axis. Their lengths do not matter.
  const double d[3] = {direction[0], direction[1], direction[2]};
  int least = 0;
  for (int k = 1; k < 3; ++k)
    if (std::fabs(d[k]) < std::fabs(d[least])) least = k;
  double unit[3] = {0.0, 0.0, 0.0};
  unit[least] = 1.0;
  const double a[3] = {d[1] * unit[2] - d[2] * unit[1], d[2] * unit[0] - d[0] * unit[2],
                       d[0] * unit[1] - d[1] * unit[0]};
  const double b[3] = {d[1] * a[2] - d[2] * a[1], d[2] * a[0] - d[0] * a[2],
                       d[0] * a[1] - d[1] * a[0]};
  auto across = [&](const double* p, const double* axis) {
    return p[0] * axis[0] + p[1] * axis[1] + p[2] * axis[2];
  };

  constexpr double kInf = std::numeric_limits<double>::infinity();
  double low_a = kInf, high_a = -kInf, low_b = kInf, high_b = -kInf;
  for (int64_t i = 0; i < count; ++i) {
    const double pa = across(points + 3 * i, a), pb = across(points + 3 * i, b);
    if (!std::isfinite(pa) || !std::isfinite(pb)) continue;
    low_a = pa < low_a ? pa : low_a;
    high_a = pa > high_a ? pa : high_a;
    low_b = pb < low_b ? pb : low_b;
    high_b = pb > high_b ? pb : high_b;
  }
  if (!(low_a <= high_a) || !(low_b <= high_b)) return false;
  // A flat extent gets scale 0: every point in the first cell along it.
  const double scale_a = high_a > low_a ? kGridSide / (high_a - low_a) : 0.0;
  const double scale_b = high_b > low_b ? kGridSide / (high_b - low_b) : 0.0;
  if (!std::isfinite(scale_a) || !std::isfinite(scale_b)) return false;

  for (uint32_t c = 0; c <= kCoherentCells; ++c) cell_starts[c] = 0;
  for (int64_t i = 0; i < count; ++i) {
    const double* p = points + 3 * i;
    const uint32_t key = spread_bits(grid_cell(across(p, a), low_a, scale_a)) |
                         spread_bits(grid_cell(across(p, b), low_b, scale_b)) << 1;
    keys[i] = key;
    ++cell_starts[key + 1];
  }
  for (uint32_t c = 0; c < kCoherentCells; ++c) cell_starts[c + 1] += cell_starts[c];
  for (int64_t i = 0; i < count; ++i) order[cell_starts[keys[i]]++] = static_cast<uint32_t>(i);
  return true;
}

}  // namespace zet
