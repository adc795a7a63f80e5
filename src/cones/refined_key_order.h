// Positions ordered by double keys as KeyOrder orders them (ascending, NaN keys last, ties by
// position), where some keys start as lower bounds of themselves and are made exact only
// when they could enter the part of the order that is read. A cell batch usually reads a
// small part of its order, and the exact key of a group costs acos and sin per cell while
// its lower bound does not.
#pragma once
#include <algorithm>
#include <cstdint>

#include "runtime/float_order.h"
#include "runtime/key_order.h"

namespace zet {

template <class Refine>
struct RefinedKeyOrder {
  KeyedPosition* keyed = nullptr;        // n entries; the first `ready` are exact and final
  const uint8_t* provisional = nullptr;  // n flags: the key is still a lower bound
  int64_t n = 0, ready = 0;
  Refine* refine = nullptr;  // (*refine)(j): position j's exact key; clears its flag

  // key[0..n) into `scratch`; provisional[j] marks the keys that are lower bounds so far
  // (never above the exact key, in the order of total_order_key, and never NaN).
  void start(const double* key, const uint8_t* provisional_flags, int64_t count,
             KeyedPosition* scratch, Refine& refine_key) {
    keyed = scratch;
    provisional = provisional_flags;
    n = count;
    ready = 0;
    refine = &refine_key;
    for (int64_t j = 0; j < n; ++j) keyed[j] = entry(key[j], j);
  }

  // The position at rank r of the order of the exact keys.
  int64_t at(int64_t r) {
    while (r >= ready) extend(r + 1);
    return int64_t(uint64_t(keyed[r]));
  }

 private:
  static KeyedPosition entry(double key, int64_t j) {
    return KeyedPosition(total_order_key(key)) << 64 | KeyedPosition(uint64_t(j));
  }

  // Selects the next ranks by the keys as they stand and makes the selected ones exact. The
  // selected entries that stay below every entry outside the selection are final: the
  // outside entries' exact keys are at least their present ones. The others go back to the
  // rest, exact now, for the next selection. The selection at least doubles the final
  // prefix, as in KeyOrder.
  void extend(int64_t m) {
    const int64_t target = std::min(n, std::max({m, 2 * ready, int64_t{64}}));
    if (target < n) std::nth_element(keyed + ready, keyed + target, keyed + n);
    bool refined = false;
    for (int64_t e = ready; e < target; ++e) {
      const int64_t j = int64_t(uint64_t(keyed[e]));
      if (provisional[j] == 0) continue;
      keyed[e] = entry((*refine)(j), j);
      refined = true;
    }
    std::sort(keyed + ready, keyed + target);
    if (!refined || target == n) {
      ready = target;
      return;
    }
    const KeyedPosition outside = keyed[target];  // the least entry after the selection
    ready = std::lower_bound(keyed + ready, keyed + target, outside) - keyed;
  }
};

}  // namespace zet
