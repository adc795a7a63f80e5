// Sizes of cone-group results from extents that a caller controls: products saturate at
// SIZE_MAX instead of wrapping, so a size too large for any array is seen as such.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zet {

inline size_t saturating_product(size_t a, size_t b) {
  size_t product;
  return __builtin_mul_overflow(a, b, &product) ? SIZE_MAX : product;
}

inline size_t saturating_product(size_t a, size_t b, size_t c) {
  return saturating_product(saturating_product(a, b), c);
}

// K (K - 1) / 2 generator pairs, saturated.
inline size_t saturating_pair_count(size_t k) {
  if (k < 2) return 0;
  return k % 2 == 0 ? saturating_product(k / 2, k - 1) : saturating_product(k, (k - 1) / 2);
}

}  // namespace zet
