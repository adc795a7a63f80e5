#include "rays/winding_leaf_groups.h"

#include <algorithm>
#include <limits>

#include "runtime/parallel_for.h"
#include "runtime/thread_count.h"

namespace zet {
namespace {

void set_lane(WindingLeafGroup& g, int lane, const PreparedCrossing& c) {
  const Vec3* fields[4] = {&c.v0, &c.e1, &c.e2, &c.q};
  double (*lanes[4])[kBlockLanes] = {g.v0, g.e1, g.e2, g.q};
  for (int f = 0; f < 4; ++f) {
    lanes[f][0][lane] = fields[f]->x;
    lanes[f][1][lane] = fields[f]->y;
    lanes[f][2][lane] = fields[f]->z;
  }
  g.inv_det[lane] = c.inv_det;
  g.against |= uint32_t{c.against_normal} << lane;
}

// Triangles are read in leaf order, which is scattered over the corner array: a triangle's
// corners are asked for this many lanes before they are prepared, so that the misses overlap.
constexpr int64_t kPrefetchAhead = 16;

// Triangles a thread prepares: a range costs a thread start, some tens of microseconds.
constexpr int64_t kLanesPerRange = 1 << 15;

}  // namespace

bool prepare_winding_leaf_groups(const WindingTree& tree, const double direction[3], WideTree& wide,
                                 RawArray<WindingLeafGroup>& groups, int64_t threads) {
  // First the usable triangles of every leaf slot of every wide node, in slot order (each
  // leaf slot is a leaf of its own: a binary node has one path from the root), where each
  // wide node's triangles start in that list, and each leaf slot's first group.
  const int64_t nodes = wide.size();
  RawArray<int64_t> lanes, node_lanes;
  if (!node_lanes.resize(static_cast<size_t>(nodes) + 1)) return false;
  int64_t lane_count = 0, lane_room = 0, total = 0;
  for (int64_t n = 0; n < nodes; ++n) {
    WideNode& node = wide.at(n);
    node_lanes.get()[n] = lane_count;
    for (int i = 0; i < node.slots; ++i) {
      if (node.count[i] < 0) continue;
      if (total > std::numeric_limits<int32_t>::max()) return false;
      node.count[i] = static_cast<int32_t>(total);
      const int64_t* row = tree.leaf_table + node.ref[i] * tree.leaf_width;
      if (lane_count + tree.leaf_width > lane_room) {
        lane_room = std::max<int64_t>(2 * lane_room, lane_count + tree.leaf_width + 1024);
        if (!lanes.resize(static_cast<size_t>(lane_room))) return false;
      }
      int64_t used = 0;
      for (int64_t c = 0; c < tree.leaf_width; ++c) {
        const int64_t j = row[c];
        if (j < 0 || tree.usable[j] == 0) continue;
        lanes.get()[lane_count + used++] = j;
      }
      lane_count += used;
      total += used > 0 ? (used + kBlockLanes - 1) / kBlockLanes : 1;
    }
  }
  node_lanes.get()[nodes] = lane_count;
  if (total > std::numeric_limits<int32_t>::max() || !groups.resize(static_cast<size_t>(total)))
    return false;
  // Then the groups, wide node by wide node: each range of nodes knows where its triangles
  // and groups start, so ranges fill their groups on threads of their own.
  const int64_t* order = lanes.get();
  WindingLeafGroup* g = groups.get();
  const int64_t ranges =
      std::clamp<int64_t>(lane_count / kLanesPerRange, 1, std::min(threads, kMaxThreads));
  auto fill = [&](int64_t r) {
    const int64_t end = nodes * (r + 1) / ranges;
    int64_t at = node_lanes.get()[nodes * r / ranges];
    const int64_t last = node_lanes.get()[end];
    for (int64_t n = nodes * r / ranges; n < end; ++n) {
      const WideNode& node = wide.nodes()[n];
      for (int i = 0; i < node.slots; ++i) {
        if (node.count[i] < 0) continue;
        int64_t next = node.count[i];
        const int64_t* row = tree.leaf_table + node.ref[i] * tree.leaf_width;
        g[next] = WindingLeafGroup{};
        int lane = 0;
        for (int64_t c = 0; c < tree.leaf_width; ++c) {
          const int64_t j = row[c];
          if (j < 0 || tree.usable[j] == 0) continue;
          if (lane == kBlockLanes) {
            g[++next] = WindingLeafGroup{};
            lane = 0;
          }
          if (at + kPrefetchAhead < last) {
            const double* ahead = tree.triangle_vertices + 9 * order[at + kPrefetchAhead];
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead + 8);
          }
          ++at;
          WindingLeafGroup& group = g[next];
          PreparedCrossing prepared;
          if (prepare_crossing(direction, tree.triangle_vertices + 9 * j, &prepared))
            set_lane(group, lane, prepared);
          else
            group.parallel |= 1u << lane;
          group.used |= 1u << lane;
          ++lane;
        }
        g[next].last = 1;
      }
    }
  };
  for_each_item(ranges, ranges, fill);
  return true;
}

}  // namespace zet
