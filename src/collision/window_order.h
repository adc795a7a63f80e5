// The order shared by the path query's node pair queue, the candidate pairs of a leaf pair
// and the returned contacts: the later window end first, then the later window start, then
// the smaller first and second indices compared as signed 32-bit values. The windows are
// compared through their total-order keys, so the order stays strict with NaN windows.
#pragma once
#include <cstdint>

#include "runtime/float_order.h"

namespace zet {

inline bool later_window_first(double hi_p, double lo_p, int32_t first_p, int32_t second_p,
                               double hi_q, double lo_q, int32_t first_q, int32_t second_q) {
  const uint64_t ph = total_order_key(hi_p), qh = total_order_key(hi_q);
  if (ph != qh) return ph > qh;
  const uint64_t pl = total_order_key(lo_p), ql = total_order_key(lo_q);
  if (pl != ql) return pl > ql;
  if (first_p != first_q) return first_p < first_q;
  return second_p < second_q;
}

}  // namespace zet
