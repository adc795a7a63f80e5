#include "rays/winding_leaf_groups.h"

#include <cstring>
#include <limits>

namespace zet {
namespace {

int64_t usable_in_row(const WindingTree& tree, const int64_t* row) {
  int64_t used = 0;
  for (int64_t c = 0; c < tree.leaf_width; ++c) used += row[c] >= 0 && tree.usable[row[c]] != 0;
  return used;
}

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

}  // namespace

bool prepare_winding_leaf_groups(const WindingTree& tree, const double direction[3], WideTree& wide,
                                 RawArray<WindingLeafGroup>& groups) {
  // How many groups: every leaf slot of every wide node is a leaf of its own (a binary node
  // has one path from the root).
  int64_t total = 0;
  for (int64_t n = 0; n < wide.size(); ++n) {
    const WideNode& node = wide.nodes()[n];
    for (int i = 0; i < node.slots; ++i) {
      if (node.count[i] < 0) continue;
      const int64_t used = usable_in_row(tree, tree.leaf_table + node.ref[i] * tree.leaf_width);
      total += used > 0 ? (used + kBlockLanes - 1) / kBlockLanes : 1;
    }
  }
  if (total > std::numeric_limits<int32_t>::max() || !groups.resize(static_cast<size_t>(total)))
    return false;
  WindingLeafGroup* g = groups.get();
  std::memset(static_cast<void*>(g), 0, static_cast<size_t>(total) * sizeof(WindingLeafGroup));
  int64_t next = 0;
  for (int64_t n = 0; n < wide.size(); ++n) {
    WideNode& node = wide.at(n);
    for (int i = 0; i < node.slots; ++i) {
      if (node.count[i] < 0) continue;
      node.count[i] = static_cast<int32_t>(next);
      const int64_t* row = tree.leaf_table + node.ref[i] * tree.leaf_width;
      int lane = 0;
      for (int64_t c = 0; c < tree.leaf_width; ++c) {
        const int64_t j = row[c];
        if (j < 0 || tree.usable[j] == 0) continue;
        if (lane == kBlockLanes) {
          ++next;
          lane = 0;
        }
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
