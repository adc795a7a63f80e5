#include "rays/wide_tree.h"

#include "rays/leaf_blocks.h"

#include <algorithm>
#include <limits>
#include <new>

#include "runtime/growable.h"
#include "runtime/raw_array.h"

namespace zet {

bool WideTree::reserve(int64_t count) {
  if (count <= capacity_) return true;
  size_t bytes;
  if (__builtin_mul_overflow(static_cast<size_t>(count), sizeof(WideNode), &bytes)) return false;
  void* moved = raw_realloc(nodes_, bytes);
  if (moved == nullptr) return false;
  nodes_ = static_cast<WideNode*>(moved);
  capacity_ = count;
  return true;
}

WideNode* WideTree::append(int32_t& index) {
  if (size_ == capacity_ && !reserve(capacity_ == 0 ? 64 : 2 * capacity_)) return nullptr;
  index = static_cast<int32_t>(size_);
  return &nodes_[size_++];
}

WideTreeArray::~WideTreeArray() {
  for (int64_t i = 0; i < count_; ++i) trees_[i].~WideTree();
  raw_free(trees_);
}

bool WideTreeArray::resize(int64_t count) {
  const int64_t n = count > 0 ? count : 1;
  void* memory = raw_malloc(static_cast<size_t>(n) * sizeof(WideTree));
  if (memory == nullptr) return false;
  trees_ = static_cast<WideTree*>(memory);
  for (count_ = 0; count_ < n; ++count_) new (&trees_[count_]) WideTree();
  return true;
}

namespace {

// The binary trees as the collapse reads them.
struct RayTreeNodes {
  // A NaN box corner may be passed over by the slab test's minima and maxima: kept open.
  static constexpr bool kNanBoxesClosed = false;
  // Nodes over two leaves are opened first (see Collapse::emit).
  static constexpr bool kTwinLeavesFirst = true;
  const RayTree& tree;
  const int32_t* first_block;  // per leaf node (see LeafLayout::add)
  int64_t count() const { return tree.k; }
  const double* lo(int64_t n) const { return tree.node_min + 3 * n; }
  const double* hi(int64_t n) const { return tree.node_max + 3 * n; }
  bool leaf(int64_t n) const { return tree.node_meta[5 * n] < 0; }
  int64_t left(int64_t n) const { return tree.node_meta[5 * n]; }
  int64_t right(int64_t n) const { return tree.node_meta[5 * n + 1]; }
  int32_t leaf_ref(int64_t n) const { return first_block[n]; }
  int32_t leaf_count(int64_t n) const {
    return (tree.node_meta[5 * n + 3] + kBlockLanes - 1) / kBlockLanes;
  }
};

struct WindingTreeNodes {
  // A NaN box corner makes a slab end NaN, and the walk misses such a node: closed.
  static constexpr bool kNanBoxesClosed = true;
  static constexpr bool kTwinLeavesFirst = false;
  const WindingTree& tree;
  int64_t count() const { return tree.node_count; }
  const double* lo(int64_t n) const { return tree.node_min + 3 * n; }
  const double* hi(int64_t n) const { return tree.node_max + 3 * n; }
  bool leaf(int64_t n) const { return tree.is_leaf[n] != 0; }
  int64_t left(int64_t n) const { return tree.child_left[n]; }
  int64_t right(int64_t n) const { return tree.child_right[n]; }
  int32_t leaf_ref(int64_t n) const { return static_cast<int32_t>(n); }
  int32_t leaf_count(int64_t) const { return 0; }
};

struct Box {
  double lo[3], hi[3];
};

// A slot's two planes on one axis put in the order that rays with reciprocal r (finite, not
// 0) cross them (see collapse_faced_ray_tree); a NaN end puts hi on both sides.
inline void face_planes(double& lo, double& hi, double r) {
  if (lo != lo || hi != hi) {
    lo = hi;
    return;
  }
  const double low = std::min(lo, hi), high = std::max(lo, hi);
  lo = r > 0.0 ? low : high;
  hi = r > 0.0 ? high : low;
}

template <class Nodes>
Box grown(const Nodes& b, int64_t n, double margin) {
  Box box;
  for (int a = 0; a < 3; ++a) {
    box.lo[a] = b.lo(n)[a] - margin;
    box.hi[a] = b.hi(n)[a] + margin;
  }
  return box;
}

// Whether internal node n may be left out: its grown box is ordered on every axis and holds
// both ends of each child's grown box (in whichever order they come: a slab test sees an
// inverted box as the interval between its ends). Any NaN fails the comparisons.
template <class Nodes>
bool may_leave_out(const Nodes& b, int64_t n, double margin) {
  if (b.leaf(n)) return false;
  const Box box = grown(b, n, margin);
  for (int a = 0; a < 3; ++a)
    if (!(box.lo[a] <= box.hi[a])) return false;
  for (const int64_t child : {b.left(n), b.right(n)}) {
    const Box c = grown(b, child, margin);
    for (int a = 0; a < 3; ++a)
      if (!(box.lo[a] <= c.lo[a] && c.lo[a] <= box.hi[a] && box.lo[a] <= c.hi[a] &&
            c.hi[a] <= box.hi[a]))
        return false;
  }
  return true;
}

// Half the surface of an ordered box: the larger slot is opened first, as it is the one
// most rays enter.
double half_area(const Box& box) {
  const double x = box.hi[0] - box.lo[0], y = box.hi[1] - box.lo[1], z = box.hi[2] - box.lo[2];
  return x * y + y * z + z * x;
}

// A wide node whose slot `slot` still needs the wide node of binary node `binary`'s children.
struct Pending {
  int32_t node;
  int32_t slot;
  int64_t binary;
};

template <class Nodes>
class Collapse {
 public:
  // facing (null, or the reciprocals of a direction the rays move along on every axis): the
  // slot planes are faced to it as they are written rather than in a pass of their own.
  Collapse(const Nodes& b, double margin, WideTree& wide, const double* facing = nullptr)
      : b_(b), margin_(margin), wide_(wide), facing_(facing) {}

  bool run() {
    wide_.clear();
    const int64_t k = b_.count();
    if (k <= 0 || k > std::numeric_limits<int32_t>::max()) return false;
    // A wide node stands for the root or for an internal node queued as a slot, so there are
    // at most k / 2 + 1; the room is taken at once (pages are only touched as nodes are made)
    // rather than grown and copied. Without that room the tree grows node by node.
    (void)wide_.reserve(k / 2 + 1);
    const int64_t root = 0;
    int32_t index;
    if (!emit(&root, 1, index)) return false;
    while (!pending_.empty()) {
      const Pending p = pending_.back();
      pending_.pop_back();
      const int64_t children[2] = {b_.left(p.binary), b_.right(p.binary)};
      if (!emit(children, 2, index)) return false;
      wide_.at(p.node).ref[p.slot] = index;
    }
    return true;
  }

 private:
  // A wide node for the given binary nodes (in depth-first order), opening left-out nodes
  // while there is room; its internal slots are queued for wide nodes of their own. With
  // kTwinLeavesFirst, a node whose children are both leaves is opened before larger ones:
  // left as a slot it would become a wide node of two slots, one more step for every ray
  // that enters it.
  bool emit(const int64_t* first, int n, int32_t& index) {
    // Every node enters the slots of exactly one wide node (the root those of the first), so
    // each is rated once, here, while its parent's boxes are still in cache.
    int64_t slots[kWideSlots];
    Rating rating[kWideSlots];
    for (int i = 0; i < n; ++i) {
      slots[i] = first[i];
      rating[i] = rate(first[i]);
    }
    while (n < kWideSlots) {
      int best = -1;
      for (int i = 0; i < n; ++i) {
        if (rating[i].area < 0.0) continue;  // not to be left out
        if (best < 0 || rating[i].twins > rating[best].twins ||
            (rating[i].twins == rating[best].twins && rating[i].area > rating[best].area))
          best = i;
      }
      if (best < 0) break;
      const int64_t opened = slots[best];
      std::copy_backward(slots + best + 1, slots + n, slots + n + 1);
      std::copy_backward(rating + best + 1, rating + n, rating + n + 1);
      slots[best] = b_.left(opened);
      slots[best + 1] = b_.right(opened);
      rating[best] = rate(slots[best]);
      rating[best + 1] = rate(slots[best + 1]);
      ++n;
    }
    WideNode* node = wide_.append(index);
    if (node == nullptr) return false;
    // The slots past n are zeros (never entered: they are not open); those up to n are all
    // written below. Clearing just those rather than the whole node with a string store is
    // a tenth of the collapse.
    for (int i = n; i < kWideSlots; ++i) {
      for (int a = 0; a < 3; ++a) node->lo[a][i] = node->hi[a][i] = 0.0;
      node->ref[i] = node->count[i] = 0;
    }
    node->slots = n;
    node->open = (1u << n) - 1;
    for (int i = n - 1; i >= 0; --i) {  // queued last-first: the first slot's subtree comes next
      const Box box = grown(b_, slots[i], margin_);
      for (int a = 0; a < 3; ++a) {
        node->lo[a][i] = box.lo[a];
        node->hi[a][i] = box.hi[a];
        if (facing_ != nullptr) face_planes(node->lo[a][i], node->hi[a][i], facing_[a]);
        if (Nodes::kNanBoxesClosed && (box.lo[a] != box.lo[a] || box.hi[a] != box.hi[a]))
          node->open &= ~(1u << i);
      }
      if (b_.leaf(slots[i])) {
        node->ref[i] = b_.leaf_ref(slots[i]);
        node->count[i] = b_.leaf_count(slots[i]);
        continue;
      }
      node->ref[i] = -1;
      node->count[i] = -1;
      if (!pending_.push_back({index, i, slots[i]})) return false;
    }
    return true;
  }

  // How a slot ranks for being opened: the half area of a node that may be left out (else
  // -1), and whether both its children are leaves.
  struct Rating {
    double area;
    bool twins;
  };
  Rating rate(int64_t n) const {
    const double area = may_leave_out(b_, n, margin_) ? half_area(grown(b_, n, margin_)) : -1.0;
    const bool twins =
        Nodes::kTwinLeavesFirst && area >= 0.0 && b_.leaf(b_.left(n)) && b_.leaf(b_.right(n));
    return {area, twins};
  }

  const Nodes& b_;
  double margin_;
  WideTree& wide_;
  const double* facing_;
  GrowableArray<Pending> pending_;
};

}  // namespace

bool collapse_ray_tree(const RayTree& tree, const int32_t* first_block, double epsilon,
                       WideTree& wide) {
  const RayTreeNodes nodes{tree, first_block};
  if (Collapse<RayTreeNodes>(nodes, epsilon, wide).run()) return true;
  wide.clear();
  return false;
}

bool collapse_faced_ray_tree(const RayTree& tree, const int32_t* first_block, double epsilon,
                             const double direction[3], const double inverse[3], WideTree& wide) {
  bool moves = true;
  for (int a = 0; a < 3; ++a) moves = moves && direction[a] != 0.0;
  const RayTreeNodes nodes{tree, first_block};
  if (Collapse<RayTreeNodes>(nodes, epsilon, wide, moves ? inverse : nullptr).run()) {
    wide.faced_ = moves;
    return true;
  }
  wide.clear();
  return false;
}

bool collapse_winding_tree(const WindingTree& tree, double margin, const double r[3],
                           WideTree& wide) {
  const WindingTreeNodes nodes{tree};
  if (Collapse<WindingTreeNodes>(nodes, margin, wide, r).run()) return true;
  wide.clear();
  return false;
}

}  // namespace zet
