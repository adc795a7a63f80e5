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

}  // namespace

FlagOffsetWalk walk_flag_offsets(const int64_t* cell_offsets, const int64_t* relevant_offsets,
                                 int64_t batches, int64_t limit, int64_t* flag_offsets) {
  bool too_many = false;
  flag_offsets[0] = 0;
  for (int64_t b = 0; b < batches; ++b) {
    if (cell_offsets[b + 1] <= cell_offsets[b] || relevant_offsets[b + 1] < relevant_offsets[b])
      return FlagOffsetWalk::kEmptyBatch;
    // Both differences are positive (or zero) and fit in 64 unsigned bits.
    const uint64_t nc = uint64_t(cell_offsets[b + 1]) - uint64_t(cell_offsets[b]);
    const uint64_t ng = uint64_t(relevant_offsets[b + 1]) - uint64_t(relevant_offsets[b]);
    uint64_t block, total;
    if (__builtin_mul_overflow(nc, ng, &block) ||
        __builtin_add_overflow(uint64_t(flag_offsets[b]), block, &total) ||
        total > uint64_t(limit)) {
      too_many = true;
      total = uint64_t(limit);  // later offsets stay meaningless but in range
    }
    flag_offsets[b + 1] = int64_t(total);
  }
  return too_many ? FlagOffsetWalk::kTooManyFlags : FlagOffsetWalk::kValid;
}

int64_t single_batch_block(int64_t threads, int64_t cells, int64_t chunk, int64_t groups) {
  int64_t budget, per_chunk, k = 0;
  if (__builtin_mul_overflow(threads, int64_t{32768}, &budget))
    budget = std::numeric_limits<int64_t>::max();
  // A product past 64 bits exceeds any budget: k = 0, raised to one chunk below.
  if (!__builtin_mul_overflow(std::max<int64_t>(cells, 1), chunk, &per_chunk))
    k = budget / per_chunk;
  int64_t size;
  if (__builtin_mul_overflow(std::max<int64_t>(k, 1), chunk, &size))
    size = std::numeric_limits<int64_t>::max();
  return std::min(size, std::max<int64_t>(groups, 1));
}

void bound_cell_batch(CellBatchJob& job, int64_t batch) {
  if (job.out_of_memory.load(std::memory_order_relaxed) != 0) return;
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
  const bool single = job.single_batch;
  const int64_t nc = b.nc, ng = b.ng, chunk = job.chunk;
  const int64_t blk = single ? single_batch_block(effective_thread_count(), nc, chunk, ng)
                             : std::min(chunk, std::max<int64_t>(ng, 1));

  RawArray<double> key, block, history, snapshot;
  RawArray<CapAngle> angles;
  RawArray<int64_t> history_row, block_groups, block_positions;
  RawArray<uint8_t> skip;
  RawArray<KeyedPosition> keyed;
  RawArray<uint8_t> provisional;
  const size_t positions = size_t(ng), cells = size_t(nc);
  const size_t block_pairs = saturating_product(size_t(blk), cells);
  if (!angles.resize(positions) || !key.resize(positions) || !history_row.resize(positions) ||
      !keyed.resize(positions) || !provisional.resize(positions) ||
      !block_groups.resize(size_t(blk)) || !block_positions.resize(size_t(blk)) ||
      !block.resize(block_pairs) ||
      (single && (!snapshot.resize(cells) || !skip.resize(block_pairs)))) {
    job.out_of_memory.store(1, std::memory_order_relaxed);
    return;
  }
  b.angles = angles.get();
  b.key = key.get();
  b.history_row = history_row.get();
  b.provisional = provisional.get();
  b.snapshot = snapshot.get();

  for (int64_t j = 0; j < ng; ++j) {
    b.angles[j] = job.group_angles != nullptr ? job.group_angles[b.groups[j]]
                                              : cap_angle(b.caps, b.groups[j]);
    b.history_row[j] = -1;
  }
  if (single) {
    auto keys = [&b](int64_t, int64_t, int64_t j_begin, int64_t j_end) {
      batch_keys(b, j_begin, j_end);
    };
    for_each_range(1, ng, 16384 / std::max<int64_t>(nc, 1) + 1, keys);
  } else {
    batch_keys(b, 0, ng);
  }
  auto refine = [&b](int64_t j) {
    b.key[j] = exact_key(b, j);
    b.provisional[j] = 0;
    return b.key[j];
  };
  RefinedKeyOrder<decltype(refine)> order;
  order.start(b.key, b.provisional, ng, keyed.get(), refine);
  std::fill(b.values, b.values + nc, kInf);

  int64_t evaluated = 0, capacity = 0;  // E and the history's room, in groups
  bool stop = false;
  for (int64_t s = 0; s < ng && !stop;) {
    const int64_t nb = std::min(ng - s, blk);
    if (b.key[order.at(s)] >= largest_value(b)) break;
    int64_t* positions_of_block = block_positions.get();
    for (int64_t m = 0; m < nb; ++m) {
      positions_of_block[m] = order.at(s + m);
      block_groups.get()[m] = b.groups[positions_of_block[m]];
    }
    MarginContext margins = job.margins;
    margins.directions = b.centers;
    margins.selected = block_groups.get();
    margins.S = nb;
    margins.output = block.get();
    if (single) {
      std::copy(b.values, b.values + nc, b.snapshot);
      uint8_t* skip_flags = skip.get();
      auto compute = [&](int64_t i0, int64_t i1, int64_t m0, int64_t m1) {
        skipping_margin_block(b, margins, positions_of_block, skip_flags, i0, i1, m0, m1);
      };
      for_each_range(nc, nb, 8192, compute);
    } else {
      margin_rows(margins, 0, nc, 0, nb);
    }
    const double* M = block.get();
    for (int64_t t = 0; t < nb;) {
      const int64_t q = std::min(nb - t, chunk);
      if (t > 0 && b.key[positions_of_block[t]] >= largest_value(b)) {
        stop = true;
        break;
      }
      if (evaluated + q > capacity) {
        int64_t grown = capacity == 0 ? q : saturating_twice(capacity);
        while (grown < evaluated + q) grown = saturating_twice(grown);
        if (!history.resize(saturating_product(size_t(grown), cells))) {
          job.out_of_memory.store(1, std::memory_order_relaxed);
          return;
        }
        capacity = grown;
      }
      for (int64_t i = 0; i < nc; ++i)
        for (int64_t m = t; m < t + q; ++m)
          if (!single || skip.get()[nb * i + m] == 0)
            b.values[i] = absorbing_min(b.values[i], M[nb * i + m]);
      double* rows = history.get();
      for (int64_t m = 0; m < q; ++m) {
        b.history_row[positions_of_block[t + m]] = evaluated + m;
        for (int64_t i = 0; i < nc; ++i) rows[nc * (evaluated + m) + i] = M[nb * i + t + m];
      }
      evaluated += q;
      t += q;
    }
    s += nb;
  }

  b.history = history.get();
  if (ng == 0) return;
  if (single) {
    auto flags = [&b](int64_t i0, int64_t i1, int64_t j0, int64_t j1) {
      relevance_flags(b, i0, i1, j0, j1);
    };
    for_each_range(nc, ng, 16384, flags);
  } else {
    relevance_flags(b, 0, nc, 0, ng);
  }
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
