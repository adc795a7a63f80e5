#include "rays/winding_leaf_groups.h"

#include <algorithm>
#include <limits>

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

}  // namespace

bool prepare_winding_leaf_groups(const WindingTree& tree, const double direction[3], WideTree& wide,
                                 RawArray<WindingLeafGroup>& groups) {
  // First the usable triangles of every leaf slot of every wide node, in slot order (each
  // leaf slot is a leaf of its own: a binary node has one path from the root), and how many
  // groups they fill.
  RawArray<int64_t> lanes;
  int64_t lane_count = 0, lane_room = 0, total = 0;
  for (int64_t n = 0; n < wide.size(); ++n) {
    const WideNode& node = wide.nodes()[n];
    for (int i = 0; i < node.slots; ++i) {
      if (node.count[i] < 0) continue;
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
  if (total > std::numeric_limits<int32_t>::max() || !groups.resize(static_cast<size_t>(total)))
    return false;
  const int64_t* order = lanes.get();
  WindingLeafGroup* g = groups.get();
  int64_t next = 0, at = 0;
  for (int64_t n = 0; n < wide.size(); ++n) {
    WideNode& node = wide.at(n);
    for (int i = 0; i < node.slots; ++i) {
      if (node.count[i] < 0) continue;
      node.count[i] = static_cast<int32_t>(next);
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
        if (at + kPrefetchAhead < lane_count) {
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
      g[next++].last = 1;
    }
  }
  return true;
}

}  // namespace zet
