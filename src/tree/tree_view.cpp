#include "tree/tree_view.h"

namespace zet {

// Every call that takes a mesh checks all of its indices, so this loop runs over the whole
// mesh on each call: it has no branch that depends on the data, and sixteen independent
// flags that the compiler turns into vector instructions, so that no lane waits for another
// (one running maximum would chain every step to the one before).
bool indices_below(const uint32_t* indices, int64_t count, int64_t limit) {
  if (count == 0 || limit > int64_t{UINT32_MAX}) return true;
  if (limit <= 0) return false;
  const uint32_t largest_allowed = static_cast<uint32_t>(limit - 1);
  constexpr int kLanes = 16;
  uint32_t above[kLanes] = {};
  int64_t i = 0;
  for (; i + kLanes <= count; i += kLanes)
    for (int j = 0; j < kLanes; ++j) above[j] |= indices[i + j] > largest_allowed;
  for (; i < count; ++i) above[0] |= indices[i] > largest_allowed;
  uint32_t any = 0;
  for (int j = 0; j < kLanes; ++j) any |= above[j];
  return any == 0;
}

// The parents are counted in one byte per node rather than one bit: a child's flag is set
// with a plain store, so no node waits for the read-modify-write of a word that the node
// before it changed (a tree's nodes name neighbouring children, whose bits share words).
int64_t first_malformed_node(const int32_t* node_meta, int64_t k, int64_t order_length,
                             uint8_t* has_parent) {
  for (int64_t i = 0; i < k; ++i) {
    const int32_t* meta = node_meta + 5 * i;
    const int64_t left = meta[0], right = meta[1];
    if (left < 0) {
      const int64_t start = meta[2], count = meta[3];
      if (start < 0 || count < 0 || start + count > order_length) return i;
      continue;
    }
    if (left <= i || right <= i || left >= k || right >= k) return i;
    if (left == right || has_parent[left] != 0 || has_parent[right] != 0) return i;
    has_parent[left] = 1;
    has_parent[right] = 1;
  }
  return -1;
}

}  // namespace zet
