#include "tree/tree_view.h"

namespace zet {

bool indices_below(const uint32_t* indices, int64_t count, int64_t limit) {
  uint32_t largest = 0;
  for (int64_t i = 0; i < count; ++i) largest = indices[i] > largest ? indices[i] : largest;
  return count == 0 || int64_t{largest} < limit;
}

int64_t first_malformed_node(const int32_t* node_meta, int64_t k, int64_t order_length,
                             uint64_t* child_seen) {
  auto seen = [&](int64_t node) { return (child_seen[node >> 6] >> (node & 63)) & 1; };
  auto mark = [&](int64_t node) { child_seen[node >> 6] |= uint64_t{1} << (node & 63); };
  for (int64_t i = 0; i < k; ++i) {
    const int32_t* meta = node_meta + 5 * i;
    const int64_t left = meta[0], right = meta[1];
    if (left < 0) {
      const int64_t start = meta[2], count = meta[3];
      if (start < 0 || count < 0 || start + count > order_length) return i;
      continue;
    }
    if (left <= i || right <= i || left >= k || right >= k) return i;
    if (left == right || seen(left) || seen(right)) return i;
    mark(left);
    mark(right);
  }
  return -1;
}

}  // namespace zet
