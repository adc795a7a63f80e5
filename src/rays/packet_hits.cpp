#include "rays/packet_hits.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "rays/ray_packets.h"
#include "runtime/cpu_lanes.h"
#include "runtime/raw_array.h"
#include "runtime/raw_memory.h"

namespace zet {

void free_ray_packet_scratch(RayPacketScratch& scratch) {
  for (int k = 0; k < kRayWalkers; ++k) {
    for (HitList& lane : scratch.lanes[k]) raw_free(lane.hits);
    raw_free(scratch.stacks[k]);
  }
  raw_free(scratch.collected.hits);
}

namespace {

using PacketTracer = bool (*)(const RayTree&, const double*, const int64_t*, int64_t,
                              const double*, const double*, double, double, RayPacketScratch&);

// The tracer of this processor, or null: rays without one go one at a time through trace_ray.
PacketTracer packet_tracer() {
  static const PacketTracer tracer = widest_build<PacketTracer>(
      nullptr, ZET_LANE_BUILD(trace_rays_avx2), ZET_LANE_BUILD(trace_rays_avx512));
  return tracer;
}

// Rays traced between two consultations at most: the memory of a segment stays small.
constexpr int64_t kSegment = 8192;
constexpr int kOffsetBits = 13;  // a ray's offset in its segment
constexpr int kGridBits = 10;    // cells a side of the grid that orders a segment's origins

uint64_t spread_bits(uint64_t x) {  // bit i to bit 3 i, for 10 bits
  x = (x | (x << 16)) & 0x030000FFull;
  x = (x | (x << 8)) & 0x0300F00Full;
  x = (x | (x << 4)) & 0x030C30C3ull;
  x = (x | (x << 2)) & 0x09249249ull;
  return x;
}

// Offsets 0 .. n - 1 of the segment's rays in the Morton order of their origins' cells
// (ties by offset), so that a packet's rays start close together and walk nearly the same
// nodes. NaN and infinite origins fall in the first cell.
void spatial_order(const double* origins, int64_t n, uint64_t* keyed) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  double low[3] = {kInf, kInf, kInf}, high[3] = {-kInf, -kInf, -kInf};
  for (int64_t i = 0; i < n; ++i)
    for (int a = 0; a < 3; ++a) {
      const double x = origins[3 * i + a];
      if (!std::isfinite(x)) continue;
      low[a] = std::min(low[a], x);
      high[a] = std::max(high[a], x);
    }
  double scale[3];
  for (int a = 0; a < 3; ++a) {
    const double s = high[a] > low[a] ? (1 << kGridBits) / (high[a] - low[a]) : 0.0;
    scale[a] = std::isfinite(s) ? s : 0.0;
  }
  for (int64_t i = 0; i < n; ++i) {
    uint64_t key = 0;
    for (int a = 0; a < 3; ++a) {
      const double x = (origins[3 * i + a] - low[a]) * scale[a];
      const uint64_t cell = !(x >= 0.0) ? 0 : x < (1 << kGridBits) - 1 ? uint64_t(x) : (1 << kGridBits) - 1;
      key |= spread_bits(cell) << a;
    }
    keyed[i] = key << kOffsetBits | uint64_t(i);
  }
  std::sort(keyed, keyed + n);
}

// Working memory of one call.
struct SegmentMemory {
  RawArray<uint64_t> keyed;
  RawArray<int64_t> rays;     // a segment's ray indices in the spatial order
  RawArray<uint32_t> starts;  // per ray offset, then the running write positions
};

}  // namespace

bool have_packet_tracer() { return packet_tracer() != nullptr; }

bool append_packet_hits(const RayTree& tree, const double* origins, const int64_t* rays,
                        int64_t first, int64_t n, const double direction[3],
                        const double inverse[3], double epsilon, double length,
                        RayPacketScratch& scratch, uint32_t* starts, GrowableArray<RayHit>& hits) {
  const PacketTracer trace = packet_tracer();
  if (trace == nullptr || !trace(tree, origins, rays, n, direction, inverse, epsilon, length, scratch))
    return false;
  // A stable counting sort by ray: each ray's hits keep their order.
  const RayHit* collected = scratch.collected.hits;
  const size_t total = scratch.collected.size;
  std::fill(starts, starts + n + 1, 0u);
  for (size_t h = 0; h < total; ++h) ++starts[collected[h].ray - first + 1];
  for (int64_t i = 0; i < n; ++i) starts[i + 1] += starts[i];
  const size_t base = hits.size();
  if (!hits.reserve(base + total)) return false;
  for (size_t h = 0; h < total; ++h)
    hits.data()[base + starts[collected[h].ray - first]++] = collected[h];
  hits.resize_within_capacity(base + total);
  return true;
}

namespace {

// One segment: rays first .. first + n - 1, whose consultations are behind, in a spatial
// order. False when memory failed.
bool trace_segment(const RayTreeHitsParams& p, int64_t first, int64_t n, const double inverse[3],
                   SegmentMemory& m, RayPacketScratch& scratch, RayTreeHitsResult& result) {
  spatial_order(p.origins + 3 * first, n, m.keyed.get());
  for (int64_t i = 0; i < n; ++i)
    m.rays.get()[i] = first + int64_t(m.keyed.get()[i] & ((uint64_t{1} << kOffsetBits) - 1));
  return append_packet_hits(p.tree, p.origins, m.rays.get(), first, n, p.direction, inverse,
                            p.epsilon, p.length, scratch, m.starts.get(), result.hits);
}

}  // namespace

// The rays go in segments: a segment starts at a ray whose poll may consult the callable
// and never reaches the next such ray, so the callable is asked with exactly the rays
// before it traced, as one ray at a time would. Within a segment the rays are traced in
// packets in a spatial order and their hits put back in ray order.
bool run_ray_tree_hits_in_packets(const RayTreeHitsParams& p, CancelPoller& poller,
                                  RayTreeHitsResult& result, const double inverse[3]) {
  if (!have_packet_tracer()) return false;
  PacketScratchOwner owner;
  SegmentMemory memory;
  const int64_t most = std::min(kSegment, p.ray_count);
  if (!memory.keyed.resize(most) || !memory.rays.resize(most) || !memory.starts.resize(most + 1)) {
    result.out_of_memory = true;
    return true;
  }
  for (int64_t first = 0; first < p.ray_count;) {
    if (poller.poll_work(1)) break;
    int64_t end = first + 1;
    while (end - first < kSegment && end < p.ray_count && !poller.work_poll_due_next(1)) {
      poller.work_poll_due(1);
      ++end;
    }
    if (!trace_segment(p, first, end - first, inverse, memory, owner.scratch, result)) {
      result.out_of_memory = true;
      break;
    }
    first = end;
  }
  return true;
}

}  // namespace zet
