#include "rays/coherent_order.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "runtime/parallel_for.h"
#include "runtime/raw_array.h"
#include "runtime/thread_count.h"

namespace zet {
namespace {

constexpr int kMostBits = 16;  // see coherent_order.h

// Points a thread takes for the order: a range costs a thread start (some tens of
// microseconds) and a row of cell counts.
constexpr int64_t kPointsPerRange = 1 << 17;

struct GridBits {
  int across, depth;  // bits per axis across the direction, bits along it
};

GridBits grid_bits(int64_t count) {
  int total = 0;
  while (total < kMostBits && (int64_t{1} << total) < count) ++total;
  const int depth = total / 3;
  return {(total - depth) / 2, depth};
}

// The bits of x spread to the even positions.
uint32_t spread_bits(uint32_t x) {
  x = (x | (x << 8)) & 0x00FF00FFu;
  x = (x | (x << 4)) & 0x0F0F0F0Fu;
  x = (x | (x << 2)) & 0x33333333u;
  x = (x | (x << 1)) & 0x55555555u;
  return x;
}

// An axis of the grid: where its cells start and how many there are per unit.
struct Axis {
  double v[3];
  double low, scale;
  int bits;
  double along(const double* p) const { return p[0] * v[0] + p[1] * v[1] + p[2] * v[2]; }
  // The cell of a point: 0 for NaN and below the range, the last cell at its top.
  uint32_t cell(const double* p) const {
    const double x = (along(p) - low) * scale;
    const double side = double(1u << bits);
    if (!(x >= 0.0)) return 0;
    return x < side - 1 ? static_cast<uint32_t>(x) : (1u << bits) - 1;
  }
};

}  // namespace

uint32_t coherent_cell_count(int64_t count) {
  const GridBits b = grid_bits(count);
  return uint32_t{1} << (2 * b.across + b.depth);
}

bool coherent_order(const double* points, int64_t count, const double direction[3], uint32_t* keys,
                    uint32_t* cell_starts, uint32_t* order, int64_t threads) {
  // Two axes across the direction: its cross products with the coordinate axis it is least
  // aligned with, and then with the first axis; the third is the direction itself. Their
  // lengths do not matter.
  const double* d = direction;
  int least = 0;
  for (int k = 1; k < 3; ++k)
    if (std::fabs(d[k]) < std::fabs(d[least])) least = k;
  double unit[3] = {0.0, 0.0, 0.0};
  unit[least] = 1.0;
  const GridBits bits = grid_bits(count);
  Axis axes[3] = {{{d[1] * unit[2] - d[2] * unit[1], d[2] * unit[0] - d[0] * unit[2],
                    d[0] * unit[1] - d[1] * unit[0]},
                   0,
                   0,
                   bits.across},
                  {{0, 0, 0}, 0, 0, bits.across},
                  {{d[0], d[1], d[2]}, 0, 0, bits.depth}};
  const double* a = axes[0].v;
  axes[1].v[0] = d[1] * a[2] - d[2] * a[1];
  axes[1].v[1] = d[2] * a[0] - d[0] * a[2];
  axes[1].v[2] = d[0] * a[1] - d[1] * a[0];

  // The finite extents along the three axes, in one pass over the points: each range of
  // points its own, then the smallest and largest of them (the same extremes whatever the
  // split; only the sign of a zero extreme may differ, which changes no cell below).
  const int64_t ranges =
      std::clamp<int64_t>(count / kPointsPerRange, 1, std::min(threads, kMaxThreads));
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Extents {
    double low[3] = {kInf, kInf, kInf}, high[3] = {-kInf, -kInf, -kInf};
  };
  Extents range_extents[kMaxThreads];
  auto range_begin = [&](int64_t r) { return count * r / ranges; };
  auto extents_of = [&](int64_t r) {
    Extents& e = range_extents[r];
    for (int64_t i = range_begin(r); i < range_begin(r + 1); ++i) {
      const double* p = points + 3 * i;
      for (int k = 0; k < 3; ++k) {
        const double x = axes[k].along(p);
        if (!std::isfinite(x)) continue;
        e.low[k] = x < e.low[k] ? x : e.low[k];
        e.high[k] = x > e.high[k] ? x : e.high[k];
      }
    }
  };
  for_each_item(ranges, ranges, extents_of);
  double low[3] = {kInf, kInf, kInf}, high[3] = {-kInf, -kInf, -kInf};
  for (int64_t r = 0; r < ranges; ++r)
    for (int k = 0; k < 3; ++k) {
      low[k] = range_extents[r].low[k] < low[k] ? range_extents[r].low[k] : low[k];
      high[k] = range_extents[r].high[k] > high[k] ? range_extents[r].high[k] : high[k];
    }
  for (int k = 0; k < 3; ++k) {
    if (!(low[k] <= high[k])) return false;
    // A flat extent gets scale 0: every point in the first cell along it.
    const double scale = high[k] > low[k] ? double(1u << axes[k].bits) / (high[k] - low[k]) : 0.0;
    if (!std::isfinite(scale)) return false;
    axes[k].low = low[k];
    axes[k].scale = scale;
  }

  // A counting sort by key, stable: each range counts its points per cell, and in every cell
  // the points of a range come after those of the ranges before it, so that the order is
  // that of one pass over all the points. One range uses cell_starts for its counts; more
  // take rows of their own (and without the memory for them, one range it is).
  const uint32_t cells = coherent_cell_count(count);
  RawArray<uint32_t> range_counts;
  const int64_t rows = ranges > 1 && range_counts.resize(size_t(ranges) * (cells + 1)) ? ranges : 1;
  auto counts_of = [&](int64_t r) {
    return rows > 1 ? range_counts.get() + r * (cells + 1) : cell_starts;
  };
  // Row r's points: its range, or all of them in one row.
  auto row_begin = [&](int64_t r) { return rows > 1 ? range_begin(r) : 0; };
  auto row_end = [&](int64_t r) { return rows > 1 ? range_begin(r + 1) : count; };
  auto key_range = [&](int64_t r) {
    uint32_t* counts = counts_of(r);
    for (uint32_t c = 0; c <= cells; ++c) counts[c] = 0;
    for (int64_t i = row_begin(r), end = row_end(r); i < end; ++i) {
      const double* p = points + 3 * i;
      const uint32_t column = spread_bits(axes[0].cell(p)) | spread_bits(axes[1].cell(p)) << 1;
      const uint32_t key = column << bits.depth | axes[2].cell(p);
      keys[i] = key;
      ++counts[key];
    }
  };
  for_each_item(rows, rows, key_range);
  uint32_t placed = 0;
  for (uint32_t c = 0; c < cells; ++c)
    for (int64_t r = 0; r < rows; ++r) {
      uint32_t& n = counts_of(r)[c];
      const uint32_t here = n;
      n = placed;
      placed += here;
    }
  auto place_range = [&](int64_t r) {
    uint32_t* next = counts_of(r);
    for (int64_t i = row_begin(r), end = row_end(r); i < end; ++i)
      order[next[keys[i]]++] = static_cast<uint32_t>(i);
  };
  for_each_item(rows, rows, place_range);
  return true;
}

}  // namespace zet
