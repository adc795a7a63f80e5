// A caller's binary box tree collapsed, for one call, into a tree of four-slot nodes whose
// slot boxes are tested together. A slot is a node of the binary tree; the slots of a wide
// node are binary nodes in the binary tree's depth-first order (left subtree before right),
// so a walk that takes a wide node's entered slots in slot order meets the binary nodes it
// enters in exactly the order of the binary walk.
//
// A binary node may be left out (its two children take its slot) only when both children's
// boxes lie inside its own: then a ray that enters a child's box also enters the left-out
// node's box, with the very same floating-point slab test, so skipping that test changes
// nothing. Boxes are compared as grown by the call's margin, since that is what the tests
// see (a negative margin can turn a contained child into one that is not). Nodes whose boxes
// hold NaN or are inverted are never left out; they keep their own test.
//
// The slot boxes stay in double precision and are tested with the binary walk's own
// arithmetic: every test then has the binary walk's outcome by construction. (A single-
// precision pre-test of eight boxes would need boxes, origins and reciprocals rounded
// outward and a proven error margin on every slab end, for a further factor in speed.)
//
// The collapse costs one pass over the nodes. It relies on the validation of the tree
// arrays, which refuses a node named as a child twice: every node has one path from the root.
#pragma once
#include <cstddef>
#include <cstdint>

#include "rays/ray_tree_hits.h"
#include "rays/ray_winding.h"
#include "runtime/raw_memory.h"

namespace zet {

constexpr int kWideSlots = 4;

// Slot boxes axis by axis, each grown by the call's margin exactly as the slab test grows
// them (min - margin, max + margin), so a lane's arithmetic is the binary walk's. A winding
// walk's tree has its planes faced to the direction (see collapse_winding_tree).
struct WideNode {
  double lo[3][kWideSlots];
  double hi[3][kWideSlots];
  // An internal slot (count -1): ref is the wide node of its children. A leaf slot (count 0
  // or more): ref and count describe the leaf (see the collapse functions).
  int32_t ref[kWideSlots];
  int32_t count[kWideSlots];
  int32_t slots;  // slots in use, 1 to kWideSlots
  // One bit per slot that a ray may enter: the slots in use, less (for winding trees) those
  // whose grown box holds a NaN, which no ray of a collapsed walk enters.
  uint32_t open;
};

// An entry of a walk's stack: a wide node (count -1) or a leaf, as in WideNode.
struct WideEntry {
  int32_t ref, count;
};

// The collapsed tree; node 0 holds the binary root or, when the root is left out, the nodes
// that stand for it.
class WideTree {
 public:
  WideTree() = default;
  ~WideTree() { raw_free(nodes_); }
  WideTree(const WideTree&) = delete;
  WideTree& operator=(const WideTree&) = delete;

  const WideNode* nodes() const { return nodes_; }
  int64_t size() const { return size_; }
  bool ready() const { return size_ > 0; }
  // Whether the slot planes are faced to one direction (see collapse_faced_ray_tree).
  bool faced() const { return faced_; }

  WideNode& at(int64_t i) { return nodes_[i]; }
  // Room for `count` nodes in all, so that appending that many moves nothing; false (nothing
  // changed) when the memory cannot be had.
  bool reserve(int64_t count);
  // Appends an uninitialised node; null when memory cannot be had.
  WideNode* append(int32_t& index);
  void clear() {
    size_ = 0;
    faced_ = false;
  }

 private:
  WideNode* nodes_ = nullptr;
  int64_t size_ = 0, capacity_ = 0;
  bool faced_ = false;

  friend bool collapse_faced_ray_tree(const RayTree&, const int32_t*, double, const double[3],
                                      const double[3], WideTree&);
};

// A fixed number of WideTree, from the raw allocator.
class WideTreeArray {
 public:
  WideTreeArray() = default;
  ~WideTreeArray();
  WideTreeArray(const WideTreeArray&) = delete;
  WideTreeArray& operator=(const WideTreeArray&) = delete;
  // Room for count trees, none ready (at least one, so that [0] is there); false when the
  // memory cannot be had. Called once.
  bool resize(int64_t count);
  WideTree& operator[](int64_t i) { return trees_[i]; }

 private:
  WideTree* trees_ = nullptr;
  int64_t count_ = 0;
};

// The ray tree's nodes grown by epsilon. A leaf slot's ref and count are the leaf's first
// block (first_block as LeafLayout::add fills it) and its number of blocks. False (wide left
// empty) when the tree has no nodes or memory failed: the caller then walks the binary tree.
bool collapse_ray_tree(const RayTree& tree, const int32_t* first_block, double epsilon,
                       WideTree& wide);
// The same for the rays of one direction (inverse as inverse_direction gives it): when they
// move along every axis, every slot's planes are put, as they are written, in the order the
// rays cross them, as collapse_winding_tree puts them, and the tree is marked faced. A slot
// with a NaN end gets its hi plane on both sides: the slab test's minimum and maximum both
// take the end from hi then (NaN or not), and so does the faced test. Otherwise the planes
// stay as they are: an axis the rays do not move along is a containment test, which reads
// the planes as given.
bool collapse_faced_ray_tree(const RayTree& tree, const int32_t* first_block, double epsilon,
                             const double direction[3], const double inverse[3], WideTree& wide);

// The winding tree's nodes grown by margin (8 epsilon). A leaf slot's ref is the binary node,
// whose leaf_table row lists the triangles; its count is 0 (the vector walk sets it to the
// leaf's first group, see winding_leaf_groups.h). False as above.
bool collapse_winding_tree(const WindingTree& tree, double margin, const double r[3],
                           WideTree& wide);
// Each slot's two planes on every axis are written in the order in which rays along the
// direction with reciprocal r (finite, no component 0) cross them: lo the plane where the slab
// starts (the smaller coordinate where r is positive, the larger where it is negative), hi the
// one where it ends. Rounding keeps (x - p) * r monotonic in x, so the slab end from lo is then
// the smaller of the two, as the slab test would have chosen it (equal to it, a zero's sign
// aside, which no comparison sees), and the walk takes it without choosing. A slot with a NaN
// corner is closed, so what its planes hold is never seen.

}  // namespace zet
