#include "cones/cell_batch.h"

#include <algorithm>
#include <limits>

#include "cones/byte_sizes.h"
#include "cones/refined_key_order.h"
#include "runtime/parallel_for.h"
#include "runtime/raw_array.h"
#include "runtime/thread_count.h"

namespace zet {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Margins offered (cells times groups, summed over the batches) per worker thread of a call
// with many batches; each costs at least a cap bound, some tens of nanoseconds.
constexpr int64_t kOfferedPerThread = 16384;

// Minimum and maximum over cell values: NaN as soon as one operand is NaN; on a tie the
// running value stays.
inline double absorbing_min(double running, double x) {
  if (running != running) return running;
  if (x != x) return x;
  return x < running ? x : running;
}
inline double absorbing_max(double running, double x) {
  if (running != running) return running;
  if (x != x) return x;
  return x > running ? x : running;
}

inline int64_t saturating_twice(int64_t x) {
  return x > std::numeric_limits<int64_t>::max() / 2 ? std::numeric_limits<int64_t>::max() : 2 * x;
}

// One batch's view of the job and its working set.
struct Batch {
  const CellBatchJob* job;
  CapArrays caps;
  const double* centers;  // nc x 3
  const double* radii;    // nc
  const double* angular;  // nc
  const int64_t* groups;  // ng: g_j of position j
  int64_t nc, ng;
  double* values;        // nc, the batch's cell values
  uint8_t* flags;        // nc x ng, the batch's flag block
  CapAngle* angles;      // ng: cap angle of g_j
  double* key;           // ng: smallest cap bound of g_j over the cells, or a lower bound of it
  uint8_t* provisional;  // ng: key[j] is still a lower bound
  int64_t* history_row;  // ng: H, the history row of position j or -1
  double* history;       // E x nc: the margins of the evaluated groups, NaN where skipped
  double* snapshot;      // nc: cell values before the current margin block (single batch)
};

// key_j: the smallest cap bound at the cell centers.
double exact_key(const Batch& b, int64_t j) {
  double k = kInf;
  for (int64_t i = 0; i < b.nc; ++i)
    k = absorbing_min(
        k, cap_lower_bound(b.caps, b.centers + 3 * i, b.groups[j], b.angles[j], kNoRadius));
  return k;
}

// key_j for positions [j_begin, j_end), or where the bounds' ranges leave it open, the
// smallest of their lower ends (provisional, made exact when the order reaches it). The
// smallest of the ranges' upper ends bounds it from above; when the two ends agree, so
// does the key (the same NaN as well: a NaN bound is always exact).
void batch_keys(const Batch& b, int64_t j_begin, int64_t j_end) {
  for (int64_t j = j_begin; j < j_end; ++j) {
    double lo = kInf, hi = kInf;
    for (int64_t i = 0; i < b.nc; ++i) {
      const CapBoundRange range =
          cap_lower_bound_range(b.caps, b.centers + 3 * i, b.groups[j], b.angles[j], kNoRadius);
      lo = absorbing_min(lo, range.lo);
      hi = absorbing_min(hi, range.hi);
    }
    const bool exact = lo == hi || (lo != lo && hi != hi);
    b.key[j] = lo;
    b.provisional[j] = exact ? 0 : 1;
  }
}

// Single-batch margin block: a pair whose cap bound reaches the snapshot value is skipped
// (flag 1, margin NaN); every other pair gets its exact margin. Layout i * S + m.
void skipping_margin_block(const Batch& b, const MarginContext& block, const int64_t* positions,
                           uint8_t* skip, int64_t i_begin, int64_t i_end, int64_t m_begin,
                           int64_t m_end) {
  for (int64_t i = i_begin; i < i_end; ++i) {
    const double* u = b.centers + 3 * i;
    for (int64_t m = m_begin; m < m_end; ++m) {
      const int64_t j = positions[m], at = block.S * i + m;
      if (cap_lower_bound_reaches(b.snapshot[i], b.caps, u, b.groups[j], b.angles[j], kNoRadius)) {
        skip[at] = 1;
        block.output[at] = kNaN;
      } else {
        skip[at] = 0;
        block.output[at] = group_margin_on_lanes(block, u, b.groups[j]);
      }
    }
  }
}

// Relevance flags of cells [i_begin, i_end) and positions [j_begin, j_end).
void relevance_flags(const Batch& b, int64_t i_begin, int64_t i_end, int64_t j_begin,
                     int64_t j_end) {
  for (int64_t i = i_begin; i < i_end; ++i) {
    const double r = b.radii[i], reach = b.values[i] + r;
    const AngularRadius radius = row_radius(b.angular[i], j_end - j_begin);
    const double* u = b.centers + 3 * i;
    uint8_t* row = b.flags + b.ng * i;
    for (int64_t j = j_begin; j < j_end; ++j) {
      const int64_t h = b.history_row[j], g = b.groups[j];
      const double recorded = h >= 0 ? b.history[b.nc * h + i] : kNaN;
      bool flag;
      if (recorded == recorded) {
        flag = reach > recorded - r;
      } else {
        const bool above = above_cap_lower_bound(reach, b.caps, u, g, b.angles[j], radius);
        if (!b.job->single_batch) {
          flag = above;
        } else if (above) {
          const double m = group_margin_on_lanes(b.job->margins, u, g);
          flag = m != m || reach > m - r;
        } else {
          flag = false;
        }
      }
      row[j] = flag ? 1 : 0;
    }
  }
}

inline double largest_value(const Batch& b) {
  double v = -kInf;
  for (int64_t i = 0; i < b.nc; ++i) v = absorbing_max(v, b.values[i]);
  return v;
}

// Margins a block of one batch holds per thread of the call: enough for every thread to have
// work in each block, few enough that the pruning check between blocks comes often.
constexpr int64_t kBlockPairsPerThread = 32768;
// Least work per thread of a single batch's range fan-outs: cap bounds of the keys, margins
// of a block, relevance flags.
constexpr int64_t kKeyBoundsPerThread = 16384;
constexpr int64_t kBlockMarginsPerThread = 8192;
constexpr int64_t kFlagsPerThread = 16384;

// Groups of one margin block of a single batch: floor(T * kBlockPairsPerThread / (max(nc, 1)
// * chunk)) chunks, at least one, then at most max(ng, 1) groups; saturating, so any chunk is
// accepted. Among many batches a block is one chunk.
int64_t block_limit(const Batch& b) {
  const int64_t chunk = b.job->chunk, groups = std::max<int64_t>(b.ng, 1);
  if (!b.job->single_batch) return std::min(chunk, groups);
  int64_t budget, per_chunk, chunks = 0;
  if (__builtin_mul_overflow(effective_thread_count(), kBlockPairsPerThread, &budget))
    budget = std::numeric_limits<int64_t>::max();
  // A product past 64 bits exceeds any budget: no whole chunk, raised to one below.
  if (!__builtin_mul_overflow(std::max<int64_t>(b.nc, 1), chunk, &per_chunk))
    chunks = budget / per_chunk;
  int64_t size;
  if (__builtin_mul_overflow(std::max<int64_t>(chunks, 1), chunk, &size))
    size = std::numeric_limits<int64_t>::max();
  return std::min(size, groups);
}

Batch batch_of(const CellBatchJob& job, int64_t batch) {
  const int64_t c0 = job.cell_offsets[batch], g0 = job.relevant_offsets[batch];
  Batch b{};
  b.job = &job;
  b.caps = {job.cap_axes, job.cap_cos, job.margins.blocks_all, job.margins.shifts,
            job.margins.common_shift};
  b.centers = job.centers + 3 * c0;
  b.radii = job.radii + c0;
  b.angular = job.angular + c0;
  b.groups = job.relevant + g0;
  b.nc = job.cell_offsets[batch + 1] - c0;
  b.ng = job.relevant_offsets[batch + 1] - g0;
  b.values = job.values + c0;
  b.flags = job.flags + job.flag_offsets[batch];
  return b;
}

// What one batch allocates: sized once, except the history, which doubles as it fills.
struct BatchScratch {
  RawArray<double> key, block, history, snapshot;
  RawArray<CapAngle> angles;
  RawArray<int64_t> history_row, block_groups, block_positions;
  RawArray<uint8_t> skip, provisional;
  RawArray<KeyedPosition> keyed;
  int64_t block_limit = 0;       // groups of one margin block at most
  int64_t history_capacity = 0;  // groups the history has room for
};

// Allocates the scratch and points the batch at it; false when memory ran out.
bool make_scratch(Batch& b, BatchScratch& s) {
  const bool single = b.job->single_batch;
  s.block_limit = block_limit(b);
  const size_t positions = size_t(b.ng), cells = size_t(b.nc), limit = size_t(s.block_limit);
  const size_t block_pairs = saturating_product(limit, cells);
  if (!s.angles.resize(positions) || !s.key.resize(positions) || !s.history_row.resize(positions) ||
      !s.keyed.resize(positions) || !s.provisional.resize(positions) ||
      !s.block_groups.resize(limit) || !s.block_positions.resize(limit) ||
      !s.block.resize(block_pairs) ||
      (single && (!s.snapshot.resize(cells) || !s.skip.resize(block_pairs))))
    return false;
  b.angles = s.angles.get();
  b.key = s.key.get();
  b.history_row = s.history_row.get();
  b.provisional = s.provisional.get();
  b.snapshot = s.snapshot.get();
  return true;
}

// Cap angles, empty history rows and the keys of every position; the cell values start at
// infinity.
void start_keys(Batch& b) {
  const CellBatchJob& job = *b.job;
  for (int64_t j = 0; j < b.ng; ++j) {
    b.angles[j] = job.group_angles != nullptr ? job.group_angles[b.groups[j]]
                                              : cap_angle(b.caps, b.groups[j]);
    b.history_row[j] = -1;
  }
  if (job.single_batch) {
    auto keys = [&b](int64_t, int64_t, int64_t j_begin, int64_t j_end) {
      batch_keys(b, j_begin, j_end);
    };
    for_each_range(1, b.ng, kKeyBoundsPerThread / std::max<int64_t>(b.nc, 1) + 1, keys);
  } else {
    batch_keys(b, 0, b.ng);
  }
  std::fill(b.values, b.values + b.nc, kInf);
}

// Margins of the block's `size` groups (positions[m] of the order) at every cell, layout
// cell * size + slot. A single batch spreads them over the threads and skips each pair whose
// cap bound already reaches the cell's value from before the block.
void block_margins(Batch& b, BatchScratch& s, const int64_t* positions, int64_t size) {
  MarginContext margins = b.job->margins;
  margins.directions = b.centers;
  margins.selected = s.block_groups.get();
  margins.S = size;
  margins.output = s.block.get();
  if (!b.job->single_batch) {
    margin_rows(margins, 0, b.nc, 0, size);
    return;
  }
  std::copy(b.values, b.values + b.nc, b.snapshot);
  uint8_t* skip = s.skip.get();
  auto compute = [&](int64_t i0, int64_t i1, int64_t m0, int64_t m1) {
    skipping_margin_block(b, margins, positions, skip, i0, i1, m0, m1);
  };
  for_each_range(b.nc, size, kBlockMarginsPerThread, compute);
}

// Room in the history for `needed` groups; false when memory ran out.
bool reserve_history(BatchScratch& s, int64_t needed, int64_t cells) {
  if (needed <= s.history_capacity) return true;
  int64_t grown = s.history_capacity == 0 ? needed : saturating_twice(s.history_capacity);
  while (grown < needed) grown = saturating_twice(grown);
  if (!s.history.resize(saturating_product(size_t(grown), size_t(cells)))) return false;
  s.history_capacity = grown;
  return true;
}

// Slots [first, first + count) of a block of `size` groups: their margins lower the cell
// values (skipped pairs do not) and become history rows evaluated, evaluated + 1, ...
void fold_chunk(Batch& b, BatchScratch& s, const int64_t* positions, int64_t size, int64_t first,
                int64_t count, int64_t evaluated) {
  const double* margin = s.block.get();
  const uint8_t* skip = s.skip.get();
  const bool single = b.job->single_batch;
  for (int64_t i = 0; i < b.nc; ++i)
    for (int64_t m = first; m < first + count; ++m)
      if (!single || skip[size * i + m] == 0)
        b.values[i] = absorbing_min(b.values[i], margin[size * i + m]);
  double* rows = s.history.get();
  for (int64_t m = 0; m < count; ++m) {
    b.history_row[positions[first + m]] = evaluated + m;
    for (int64_t i = 0; i < b.nc; ++i)
      rows[b.nc * (evaluated + m) + i] = margin[size * i + first + m];
  }
}

// Groups in key order, a block at a time, each block folded a chunk at a time, until the
// next key reaches the largest cell value: no group from there on can lower any value. False
// when memory ran out.
template <class Order>
bool evaluate_in_key_order(Batch& b, BatchScratch& s, Order& order) {
  const int64_t chunk = b.job->chunk;
  int64_t evaluated = 0;  // E, the history's rows
  for (int64_t next = 0; next < b.ng;) {
    const int64_t size = std::min(b.ng - next, s.block_limit);
    if (b.key[order.at(next)] >= largest_value(b)) return true;
    int64_t* positions = s.block_positions.get();
    for (int64_t m = 0; m < size; ++m) {
      positions[m] = order.at(next + m);
      s.block_groups.get()[m] = b.groups[positions[m]];
    }
    block_margins(b, s, positions, size);
    for (int64_t first = 0; first < size;) {
      const int64_t count = std::min(size - first, chunk);
      if (first > 0 && b.key[positions[first]] >= largest_value(b)) return true;
      if (!reserve_history(s, evaluated + count, b.nc)) return false;
      fold_chunk(b, s, positions, size, first, count, evaluated);
      evaluated += count;
      first += count;
    }
    next += size;
  }
  return true;
}

// The relevance flags of every cell and position, over the threads for a single batch.
void flag_relevance(const Batch& b) {
  if (!b.job->single_batch) {
    relevance_flags(b, 0, b.nc, 0, b.ng);
    return;
  }
  auto flags = [&b](int64_t i0, int64_t i1, int64_t j0, int64_t j1) {
    relevance_flags(b, i0, i1, j0, j1);
  };
  for_each_range(b.nc, b.ng, kFlagsPerThread, flags);
}

}  // namespace

void bound_cell_batch(CellBatchJob& job, int64_t batch) {
  if (job.out_of_memory.load(std::memory_order_relaxed) != 0) return;
  Batch b = batch_of(job, batch);
  BatchScratch scratch;
  if (!make_scratch(b, scratch)) {
    job.out_of_memory.store(1, std::memory_order_relaxed);
    return;
  }
  start_keys(b);
  // A provisional key is made exact only when the order could read it.
  auto refine = [&b](int64_t j) {
    b.key[j] = exact_key(b, j);
    b.provisional[j] = 0;
    return b.key[j];
  };
  RefinedKeyOrder<decltype(refine)> order;
  order.start(b.key, b.provisional, b.ng, scratch.keyed.get(), refine);
  if (!evaluate_in_key_order(b, scratch, order)) {
    job.out_of_memory.store(1, std::memory_order_relaxed);
    return;
  }
  b.history = scratch.history.get();
  if (b.ng > 0) flag_relevance(b);
}

bool run_cell_batches(CellBatchJob& job, int64_t batches, int64_t threads) {
  job.single_batch = batches == 1;
  // Batches that share groups (the children of many parents, which share most of them) would
  // each take acos of the same cap cosines: when the relevant lists are at least as long as
  // the range of group indices they use, one table serves them all.
  const int64_t listed = job.relevant_offsets[batches];
  int64_t groups = 0;
  for (int64_t r = 0; r < listed; ++r) groups = std::max(groups, job.relevant[r] + 1);
  RawArray<CapAngle> table;
  RawArray<uint8_t> made;
  if (batches > 1 && listed >= groups && groups > 0) {
    if (!table.resize(size_t(groups)) || !made.resize(size_t(groups))) return false;
    std::fill(made.get(), made.get() + groups, uint8_t{0});
    const CapArrays caps{job.cap_axes, job.cap_cos, job.margins.blocks_all, job.margins.shifts,
                         job.margins.common_shift};
    for (int64_t r = 0; r < listed; ++r) {
      const int64_t g = job.relevant[r];
      if (made.get()[g] != 0) continue;
      table.get()[g] = cap_angle(caps, g);
      made.get()[g] = 1;
    }
    job.group_angles = table.get();
  }
  // Many small batches (the deep levels of a search offer a few groups per cell) would not
  // repay a thread: a thread joins only for every kOfferedPerThread margins offered.
  int64_t offered = 0;
  for (int64_t b = 0; b < batches && offered < threads * kOfferedPerThread; ++b)
    offered += (job.cell_offsets[b + 1] - job.cell_offsets[b]) *
               (job.relevant_offsets[b + 1] - job.relevant_offsets[b]);
  const int64_t used = std::max<int64_t>(1, std::min(threads, offered / kOfferedPerThread));
  auto body = [&job](int64_t batch) { bound_cell_batch(job, batch); };
  for_each_item(batches, used, body);
  job.group_angles = nullptr;  // the table ends here
  return job.out_of_memory.load(std::memory_order_relaxed) == 0;
}

}  // namespace zet
