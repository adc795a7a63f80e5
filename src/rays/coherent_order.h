// An order in which to process points that all shoot rays along one direction, so that
// consecutive points have nearly the same ray and walk nearly the same tree nodes: the
// points sorted by the Morton index of their cell in a 512 x 512 grid laid over their
// projection on a plane across the direction. Only the processing order changes; what each
// point's ray finds does not depend on it.
#pragma once
#include <cstdint>

namespace zet {

// Cells of the grid, and so the entries of the counting scratch.
constexpr uint32_t kCoherentCells = 512 * 512;

// Writes a permutation of 0 .. count - 1 to order. keys is scratch of count entries and
// cell_starts of kCoherentCells + 1. Returns false, writing nothing to order, when the
// direction spans no plane across it (zero or not finite) or no point projects to a finite
// position; the points are then best taken as they come. count must be below 2^32.
bool coherent_order(const double* points, int64_t count, const double direction[3],
                    uint32_t* keys, uint32_t* cell_starts, uint32_t* order);

}  // namespace zet
