// Positions ordered by double keys: ascending, NaN keys after all others, ties (-0 and +0
// included) and NaN keys by position. The order is produced as far as it is read, for
// callers that usually stop after its first few entries.
#pragma once
#include <algorithm>
#include <cstdint>

#include "runtime/float_order.h"

namespace zet {

// One position with its key: the key's total-order bits above the position, so that plain
// integer comparison orders by key and then by position, a strict total order.
using KeyedPosition = unsigned __int128;

struct KeyOrder {
  KeyedPosition* keyed = nullptr;  // n entries; the first `ready` are final
  int64_t n = 0, ready = 0;

  // Takes key[0..n) into `scratch` (n entries); nothing is ordered yet.
  void start(const double* key, int64_t count, KeyedPosition* scratch) {
    keyed = scratch;
    n = count;
    ready = 0;
    for (int64_t j = 0; j < n; ++j)
      keyed[j] = KeyedPosition(total_order_key(key[j])) << 64 | KeyedPosition(uint64_t(j));
  }

  // The position at rank r of the order.
  int64_t at(int64_t r) {
    if (r >= ready) extend(r + 1);
    return int64_t(uint64_t(keyed[r]));
  }

 private:
  // Makes at least the first m ranks final: the next ones are selected from the rest and
  // sorted. The final prefix at least doubles each time, so reading the whole order costs
  // a constant times one full sort.
  void extend(int64_t m) {
    const int64_t target = std::min(n, std::max({m, 2 * ready, int64_t{64}}));
    if (target < n) std::nth_element(keyed + ready, keyed + target, keyed + n);
    std::sort(keyed + ready, keyed + target);
    ready = target;
  }
};

}  // namespace zet
