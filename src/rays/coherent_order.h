// An order in which to process points that all shoot rays along one direction, so that
// consecutive points walk nearly the same tree nodes: their rays should run close together
// and start at similar depths along the direction. The points are sorted by cell of a grid
// over their projection on a plane across the direction (Morton order) and, within a
// column of the grid, by depth along the direction; the grid has about one cell per point,
// up to 2^16 cells, split about 2 : 2 : 1 in bits between the two axes across and the depth.
// The cap keeps the cell counts (a quarter megabyte) in a core's own cache while the points
// are counted and placed; a few points that share a cell stay in their given order and still
// walk nearly the same nodes. Only the
// processing order changes; what each point's ray finds does not depend on it.
#pragma once
#include <cstdint>

namespace zet {

// The number of cells coherent_order uses for `count` points (a power of two, at most 2^16).
uint32_t coherent_cell_count(int64_t count);

// Writes a permutation of 0 .. count - 1 to order. keys is scratch of count entries and
// cell_starts of coherent_cell_count(count) + 1. Returns false, writing nothing to order,
// when the direction spans no plane across it (zero or not finite) or no point projects to
// a finite position; the points are then best taken as they come. count must be below 2^32.
// Large counts are split over up to `threads` threads; the order is the same for any number.
bool coherent_order(const double* points, int64_t count, const double direction[3], uint32_t* keys,
                    uint32_t* cell_starts, uint32_t* order, int64_t threads = 1);

}  // namespace zet
