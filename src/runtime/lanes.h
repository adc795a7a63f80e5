// Vectors of W doubles for the lane kernels: each lane computes exactly what the scalar
// code computes for one item, in the same order, so the results are the same bits; only the
// instruction set differs. Included only by files compiled for one instruction set each
// (named *_avx2.cpp and *_avx512.cpp) and called when the processor reports it; everything
// here has internal linkage, so builds for different instruction sets never merge.
#pragma once
#include <cstdint>
#include <immintrin.h>

namespace zet {
namespace {

// Real: W doubles. Mask: W lane masks, all bits set or clear. bits(): one bit per lane.
// sqrt(): the correctly rounded square root of each lane, as std::sqrt gives it.
template <int W>
struct LaneTypes;

#if defined(__AVX2__)
template <>
struct LaneTypes<4> {
  typedef double Real __attribute__((vector_size(32)));
  typedef int64_t Mask __attribute__((vector_size(32)));
  static unsigned bits(const Mask& m) { return unsigned(_mm256_movemask_pd(__m256d(m))); }
  static Real sqrt(const Real& x) { return Real(_mm256_sqrt_pd(__m256d(x))); }
};
#endif

#if defined(__AVX512F__)
template <>
struct LaneTypes<8> {
  typedef double Real __attribute__((vector_size(64)));
  typedef int64_t Mask __attribute__((vector_size(64)));
  static unsigned bits(const Mask& m) {
    return unsigned(_mm512_test_epi64_mask(__m512i(m), __m512i(m)));
  }
  static Real sqrt(const Real& x) {  // the masked form: the plain one trips -Wmaybe-uninitialized
    return Real(_mm512_maskz_sqrt_pd(__mmask8(0xFF), __m512d(x)));
  }
};
#endif

template <int W>
struct LaneOps {
  using Real = typename LaneTypes<W>::Real;
  using Mask = typename LaneTypes<W>::Mask;

  static Real splat(double v) { return Real{} + v; }
  static Real abs(const Real& v) { return (Real)((Mask)v & (Mask{} + INT64_MAX)); }
  static Real pick(const Mask& m, const Real& a, const Real& b) {
    return (Real)(((Mask)a & m) | ((Mask)b & ~m));
  }
  // The mask of the lanes whose bit is set in `lanes`.
  static Mask mask_of(unsigned lanes) {
    Mask index{};
    for (int l = 0; l < W; ++l) index[l] = int64_t{1} << l;
    return ((Mask{} + int64_t(lanes)) & index) != 0;
  }
};

}  // namespace
}  // namespace zet
