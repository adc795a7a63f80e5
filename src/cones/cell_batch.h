// Branch-and-bound bounds of batches of direction cells: for every cell the smallest group
// margin at its center over its batch's groups (visited in cap-bound order and pruned once
// no remaining group can lower a value), and for every cell and group of its batch whether
// the group may still give the smallest margin somewhere in the cell. Pure C++.
#pragma once
#include <atomic>
#include <cstdint>

#include "cones/cap_bound.h"
#include "cones/cone_margin.h"
#include "cones/flag_offsets.h"

namespace zet {

struct CellBatchJob {
  MarginContext margins{};                    // directions, selected, S and output left empty
  const double* cap_axes = nullptr;           // G x 3
  const double* cap_cos = nullptr;            // G
  const double* centers = nullptr;            // N x 3
  const double* radii = nullptr;              // N
  const double* angular = nullptr;            // N
  const int64_t* cell_offsets = nullptr;      // B + 1
  const int64_t* relevant = nullptr;          // R
  const int64_t* relevant_offsets = nullptr;  // B + 1
  const int64_t* flag_offsets = nullptr;      // B + 1: P_b, the start of batch b's flag block
  int64_t chunk = 1;                          // groups between two pruning checks
  double* values = nullptr;                   // N cell values
  uint8_t* flags = nullptr;                   // P_B relevance flags
  // B = 1: the one batch spreads its keys, margin blocks and flags over the call's threads
  // and skips the margins that its cap bounds show cannot lower a cell value.
  bool single_batch = false;
  const CapAngle* group_angles = nullptr;  // cap angle of every relevant group, when the call
                                           // made one table for all its batches
  std::atomic<int> out_of_memory{0};       // set by any batch whose working set failed
};

// One batch: its cell values and its flag block. Sets the job's out-of-memory flag and
// leaves its outputs unfinished when its working set cannot be had.
void bound_cell_batch(CellBatchJob& job, int64_t batch);

// All B batches on worker threads (one batch per claim); false when memory ran out.
bool run_cell_batches(CellBatchJob& job, int64_t batches, int64_t threads);

}  // namespace zet
