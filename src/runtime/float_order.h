// Minimum and maximum taken exactly as written, and a total order on doubles for sorting.
#pragma once
#include <cstdint>
#include <cstring>

namespace zet {

// min(x, y) is y unless x < y; max(x, y) is y unless x > y. A NaN in y propagates; a NaN in
// x does not. The windows of the collision kernels depend on exactly this.
inline double min_as_written(double x, double y) { return x < y ? x : y; }
inline double max_as_written(double x, double y) { return x > y ? x : y; }

// An unsigned key whose order is the order of the doubles, -0 and +0 being one key and every
// NaN one key above +infinity. Sorting by it is a strict weak order even with NaN, and it
// agrees with < on every other value.
inline uint64_t total_order_key(double x) {
  x += 0.0;  // folds -0 into +0
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  if (x != x) bits = 0x7ff8000000000000ull;
  return (bits >> 63) ? ~bits : bits | 0x8000000000000000ull;
}

}  // namespace zet
