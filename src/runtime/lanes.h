// Vectors of kLanes doubles for the lane kernels: each lane computes exactly what the scalar
// code computes for one item, in the same order, so the results are the same bits; only the
// instruction set differs. Included only by the lane kernel sources (*_lanes.cpp), which the
// build compiles twice, with ZET_LANES=4 for AVX2 and ZET_LANES=8 for AVX-512F; their entry
// points are named by ZET_LANE_ENTRY and called only when the processor reports the
// instruction set. Everything else in them has internal linkage, so builds for different
// instruction sets never merge (a CI check of the lane objects' symbols keeps it so).
#pragma once
#include <immintrin.h>
#include <cstddef>
#include <cstdint>

#include "runtime/raw_memory.h"

#if !defined(ZET_LANES)
#error "define ZET_LANES (4 or 8) before including runtime/lanes.h"
#endif

namespace zet {
namespace {

constexpr int kLanes = ZET_LANES;

}  // namespace
}  // namespace zet

// The entry point `name` of a lane kernel in this build: name_avx2 or name_avx512.
#if ZET_LANES == 4
#define ZET_LANE_ENTRY(name) name##_avx2
#elif ZET_LANES == 8
#define ZET_LANE_ENTRY(name) name##_avx512
#else
#error "ZET_LANES must be 4 or 8"
#endif

namespace zet {
namespace {

// kLanes doubles, and kLanes lane masks (all bits set or clear).
typedef double Real __attribute__((vector_size(8 * ZET_LANES)));
typedef int64_t Mask __attribute__((vector_size(8 * ZET_LANES)));

// One bit per lane; the correctly rounded square root of each lane, as std::sqrt gives it.
#if ZET_LANES == 4
inline unsigned lane_bits(const Mask& m) { return unsigned(_mm256_movemask_pd(__m256d(m))); }
inline Real lane_sqrt(const Real& x) { return Real(_mm256_sqrt_pd(__m256d(x))); }
#elif ZET_LANES == 8
inline unsigned lane_bits(const Mask& m) {
  return unsigned(_mm512_test_epi64_mask(__m512i(m), __m512i(m)));
}
inline Real lane_sqrt(
    const Real& x) {  // the masked form: the plain one trips -Wmaybe-uninitialized
  return Real(_mm512_maskz_sqrt_pd(__mmask8(0xFF), __m512d(x)));
}
#endif

inline Real splat(double v) { return Real{} + v; }
inline Real lane_abs(const Real& v) { return (Real)((Mask)v & (Mask{} + INT64_MAX)); }
inline Real pick(const Mask& m, const Real& a, const Real& b) {
  return (Real)(((Mask)a & m) | ((Mask)b & ~m));
}
// The mask of the lanes whose bit is set in `lanes`.
inline Mask mask_of(unsigned lanes) {
  Mask index{};
  for (int l = 0; l < kLanes; ++l) index[l] = int64_t{1} << l;
  return ((Mask{} + int64_t(lanes)) & index) != 0;
}

// Room for `count` elements of `size` bytes in `memory`, from the raw allocator: 64 at
// first, doubling. The lane kernels' stacks and hit lists grow this way; false (nothing
// changed) when the memory cannot be had.
inline bool hold_raw(void*& memory, size_t& capacity, size_t count, size_t size) {
  while (capacity < count) {
    const size_t grown = capacity == 0 ? 64 : 2 * capacity;
    void* moved = raw_realloc(memory, grown * size);
    if (moved == nullptr) return false;
    memory = moved;
    capacity = grown;
  }
  return true;
}

}  // namespace
}  // namespace zet
