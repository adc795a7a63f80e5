#include "tree/build_kernel.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "runtime/parallel_for.h"

namespace zet {
namespace {

// Below this many triangles the build runs on the calling thread.
constexpr uint32_t kParallelBuildMinTriangles = 16384;
// A range of at most this many triangles (or about m / (8 T), whichever is larger) is
// finished by a single worker.
constexpr uint32_t kMinSubtreeChunk = 2048;
// Waves hold at most 2 (cap + 1) tasks with cap = m / chunk <= 8 T + 1.
constexpr int kMaxTasks = 2 * (8 * 32 + 2);

inline bool precedes(const SplitPair& p, const SplitPair& q) {
  return p.key < q.key || (p.key == q.key && p.triangle < q.triangle);
}

// Memoised subtree node counts. Each level of a median split has at most two distinct
// range sizes, so a small table holds every value a build asks for.
struct NodeCountMemo {
  static constexpr int kCapacity = 128;
  uint32_t leaf_size;
  int size = 0;
  uint32_t counts[kCapacity];
  uint32_t nodes[kCapacity];

  explicit NodeCountMemo(uint32_t leaf) : leaf_size(leaf) {}

  uint32_t get(uint32_t c) {
    if (c <= leaf_size) return 1;
    for (int i = 0; i < size; ++i)
      if (counts[i] == c) return nodes[i];
    uint32_t n = 1 + get(c - c / 2) + get(c / 2);
    if (size < kCapacity) {
      counts[size] = c;
      nodes[size] = n;
      ++size;
    }
    return n;
  }
};

void sort_leaf(uint32_t* begin, uint32_t count) {
  if (count > 32) {
    std::sort(begin, begin + count);
    return;
  }
  for (uint32_t i = 1; i < count; ++i) {
    uint32_t v = begin[i];
    uint32_t j = i;
    for (; j > 0 && begin[j - 1] > v; --j) begin[j] = begin[j - 1];
    begin[j] = v;
  }
}

// Ranges longer than this take their pivot from a sample.
constexpr int64_t kSampledRange = 600;

struct SampleRange {
  int64_t left, right;
};

// Floyd and Rivest's sample of a[left .. right] for position h: the positions around h that
// hold about half of (right - left + 1)^(2/3) pairs, shifted a little towards the far side
// of h, so that the pair the sample places at h lands next to h in the whole range.
SampleRange sample_around(int64_t left, int64_t right, int64_t h) {
  const double n = static_cast<double>(right - left + 1);
  const double i = static_cast<double>(h - left + 1);
  const double z = std::log(n);
  const double s = 0.5 * std::exp(2.0 * z / 3.0);
  const double sd = 0.5 * std::sqrt(z * s * (n - s) / n) * (i - n / 2 < 0 ? -1.0 : 1.0);
  return {std::max(left, static_cast<int64_t>(h - i * s / n + sd)),
          std::min(right, static_cast<int64_t>(h + (n - i) * s / n + sd))};
}

// Hoare's partition of a[left .. right] around the pair at position pivot_at, scanning from
// both ends and swapping only pairs on the wrong side. Returns the pivot's final position.
int64_t partition_around(SplitPair* a, int64_t left, int64_t right, int64_t pivot_at) {
  const SplitPair pivot = a[pivot_at];
  int64_t i = left, j = right;
  std::swap(a[left], a[pivot_at]);
  if (precedes(pivot, a[right])) std::swap(a[right], a[left]);
  while (i < j) {
    std::swap(a[i], a[j]);
    ++i;
    --j;
    while (precedes(a[i], pivot)) ++i;
    while (precedes(pivot, a[j])) --j;
  }
  if (a[left].triangle == pivot.triangle) {
    std::swap(a[left], a[j]);
  } else {
    ++j;
    std::swap(a[j], a[right]);
  }
  return j;
}

// Selection of position h: afterwards the h pairs that come first in the order occupy
// positions [0, h). This is Floyd and Rivest's selection: on large ranges it first selects
// within a small sample, so that the pivot lands next to position h and one partition pass
// leaves only a short range to finish. The order is a strict total order and the triangle
// indices are distinct, so which pairs end on each side does not depend on the pivots.
// After 64 rounds the remaining range is sorted instead, which bounds adversarial inputs.
void select_range(SplitPair* a, int64_t left, int64_t right, int64_t h) {
  int rounds = 0;
  while (right > left) {
    if (++rounds > 64) {
      std::sort(a + left, a + right + 1, precedes);
      return;
    }
    if (right - left > kSampledRange) {
      const SampleRange sample = sample_around(left, right, h);
      select_range(a, sample.left, sample.right, h);
    }
    const int64_t j = partition_around(a, left, right, h);
    if (j <= h) left = j + 1;
    if (h <= j) right = j - 1;
  }
}

// The split order as one integer, (key, triangle), compared without branches.
__extension__ typedef unsigned __int128 SplitOrder;

inline SplitOrder split_order(const SplitPair& p) { return (SplitOrder{p.key} << 32) | p.triangle; }

// Ranges of at most this many pairs are sorted; up to kNintherRange the pivot is the median
// of three, up to kSampledRange Tukey's ninther. Ranges longer than kSwappingRange are split
// by Hoare's partition: beyond the caches, writing back only the misplaced pairs costs less
// than the branches it mispredicts (Lomuto's writes every pair).
constexpr int64_t kSortedRange = 12;
constexpr int64_t kNintherRange = 40;
constexpr int64_t kSwappingRange = 8192;

// Insertion sort of a few pairs.
void sort_short_range(SplitPair* a, int64_t count) {
  for (int64_t i = 1; i < count; ++i) {
    const SplitPair v = a[i];
    int64_t j = i;
    for (; j > 0 && precedes(v, a[j - 1]); --j) a[j] = a[j - 1];
    a[j] = v;
  }
}

// Lomuto's partition of a[left .. right] around the pivot a[left], without branches on the
// comparisons: every pair is swapped with the first pair not known to precede the pivot,
// and that position advances by the comparison's result. Returns the pivot's final position.
int64_t partition_around_first(SplitPair* a, int64_t left, int64_t right) {
  const SplitOrder pivot = split_order(a[left]);
  int64_t before = left + 1;
  for (int64_t j = left + 1; j <= right; ++j) {
    // Whole 16-byte moves: the next step may read a[before] back at once, which a store in
    // two parts would not forward.
    unsigned char x[sizeof(SplitPair)], y[sizeof(SplitPair)];
    std::memcpy(x, a + j, sizeof x);
    std::memcpy(y, a + before, sizeof y);
    const bool precedes_pivot = split_order(a[j]) < pivot;
    std::memcpy(a + j, y, sizeof y);
    std::memcpy(a + before, x, sizeof x);
    before += precedes_pivot;
  }
  std::swap(a[left], a[before - 1]);
  return before - 1;
}

// Puts the median of three pairs at the middle position.
inline void median_to_middle(SplitPair* a, int64_t first, int64_t middle, int64_t last) {
  if (precedes(a[last], a[first])) std::swap(a[first], a[last]);
  if (precedes(a[middle], a[first])) std::swap(a[middle], a[first]);
  if (precedes(a[last], a[middle])) std::swap(a[middle], a[last]);
}

// The same selection as select_range, for builds whose boxes do not depend on the order of
// a node's triangles: there the positions inside each half are free, so it may move pairs
// any way that is fast. Ranges within the caches are partitioned without branches on the
// comparisons, since on real meshes which side a pair falls on is a coin toss to the branch
// predictor, and mid-size ranges take a better pivot than the pair at h. The same 64-round
// bound holds.
void select_range_unordered(SplitPair* a, int64_t left, int64_t right, int64_t h) {
  int rounds = 0;
  while (right - left >= kSortedRange) {
    if (++rounds > 64) {
      std::sort(a + left, a + right + 1, precedes);
      return;
    }
    int64_t pivot = h;
    if (right - left > kSampledRange) {
      const SampleRange sample = sample_around(left, right, h);
      select_range_unordered(a, sample.left, sample.right, h);
    } else if (right - left > kNintherRange) {
      // Tukey's ninther: medians of three triples, the middle one around h.
      const int64_t q = (right - left) / 8;
      pivot = std::clamp(h, left + 2 * q, right - 2 * q);
      median_to_middle(a, left, left + q, left + 2 * q);
      median_to_middle(a, pivot - q, pivot, pivot + q);
      median_to_middle(a, right - 2 * q, right - q, right);
      median_to_middle(a, left + q, pivot, right - q);
    } else {
      median_to_middle(a, left, h, right);
    }
    int64_t p;
    if (right - left > kSwappingRange) {
      p = partition_around(a, left, right, pivot);
    } else {
      std::swap(a[left], a[pivot]);
      p = partition_around_first(a, left, right);
    }
    if (p == h) return;
    if (p < h)
      left = p + 1;
    else
      right = p - 1;
  }
  if (right > left) sort_short_range(a + left, right - left + 1);
}

void select_median(SplitPair* pairs, uint32_t count, uint32_t h, bool any_selection) {
  if (any_selection)
    select_range_unordered(pairs, 0, static_cast<int64_t>(count) - 1, h);
  else
    select_range(pairs, 0, static_cast<int64_t>(count) - 1, h);
}

// The ordered key of a triangle's box centre on one axis. It is made from the box when a node
// needs it rather than kept: the node has just read the same box row for its own box.
inline uint64_t centre_key(const TreeBuildArrays& a, uint32_t triangle, int axis) {
  const double* box = a.tri_min + kTriangleBoxStride * triangle;
  return total_order_key((box[axis] + box[3 + axis]) * 0.5);
}

// The axis a range's split pairs hold keys of, or of a leaf's split: none.
constexpr int kNoAxis = -1;

// Writes the node's box; then either makes it a leaf (returns kNoAxis) or orders its range
// so that the first floor(count / 2) triangles in (centre, index) order go left (returns
// the split axis). keyed_axis names the axis whose keys the range's pairs hold: a child
// split on its parent's axis finds its keys already in place.
int partition_node(const TreeBuildArrays& a, uint32_t node, uint32_t start, uint32_t count,
                   int keyed_axis) {
  SplitPair* pairs = a.split_pairs + start;
  double lo[3], hi[3];
  for (int d = 0; d < 3; ++d) {
    lo[d] = a.tri_min[kTriangleBoxStride * pairs[0].triangle + d];
    hi[d] = a.tri_max[kTriangleBoxStride * pairs[0].triangle + d];
  }
  for (uint32_t j = 1; j < count; ++j) {
    const double* tmin = a.tri_min + kTriangleBoxStride * pairs[j].triangle;
    const double* tmax = a.tri_max + kTriangleBoxStride * pairs[j].triangle;
    for (int d = 0; d < 3; ++d) {
      if (tmin[d] < lo[d]) lo[d] = tmin[d];
      if (tmax[d] > hi[d]) hi[d] = tmax[d];
    }
  }
  int32_t* meta = a.node_meta + 5 * size_t{node};
  for (int d = 0; d < 3; ++d) {
    a.node_min[3 * size_t{node} + d] = lo[d];
    a.node_max[3 * size_t{node} + d] = hi[d];
  }
  meta[4] = 0;

  if (count <= a.leaf_size) {
    uint32_t* leaf = a.out_order + start;
    for (uint32_t j = 0; j < count; ++j) leaf[j] = pairs[j].triangle;
    sort_leaf(leaf, count);
    meta[0] = -1;
    meta[1] = -1;
    meta[2] = static_cast<int32_t>(start);
    meta[3] = static_cast<int32_t>(count);
    return kNoAxis;
  }

  // Longest axis; ties keep the lower axis.
  double e[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
  int axis = e[1] > e[0] ? 1 : 0;
  if (e[2] > e[axis]) axis = 2;

  if (axis != keyed_axis)
    for (uint32_t j = 0; j < count; ++j) pairs[j].key = centre_key(a, pairs[j].triangle, axis);
  select_median(pairs, count, count / 2, a.any_selection);
  return axis;
}

void set_internal(const TreeBuildArrays& a, uint32_t node, uint32_t left, uint32_t right,
                  uint32_t count) {
  int32_t* meta = a.node_meta + 5 * size_t{node};
  meta[0] = static_cast<int32_t>(left);
  meta[1] = static_cast<int32_t>(right);
  meta[2] = 0;
  meta[3] = static_cast<int32_t>(count);
}

// Serial recursive build in pre-order. poller is null for subtree workers.
struct SubtreeBuilder {
  const TreeBuildArrays& a;
  uint32_t next_node;
  CancelPoller* poller;

  bool cancelled() const { return poller != nullptr && poller->cancelled; }

  uint32_t build(uint32_t start, uint32_t count, int keyed_axis) {
    uint32_t node = next_node++;
    if (poller != nullptr && poller->poll()) return node;
    const int axis = partition_node(a, node, start, count, keyed_axis);
    if (axis == kNoAxis) return node;
    uint32_t left_count = count / 2;
    uint32_t left = build(start, left_count, axis);
    if (cancelled()) return node;
    uint32_t right = build(start + left_count, count - left_count, axis);
    if (cancelled()) return node;
    set_internal(a, node, left, right, count);
    return node;
  }
};

struct BuildTask {
  uint32_t start, count, node;
  int keyed_axis;
};

struct WaveContext {
  const TreeBuildArrays* a;
  uint32_t chunk;
  const BuildTask* tasks;
  BuildTask* children;  // two slots per task
};

void build_task(void* context, int64_t i) {
  const WaveContext& w = *static_cast<const WaveContext*>(context);
  const TreeBuildArrays& a = *w.a;
  const BuildTask task = w.tasks[i];
  BuildTask* slots = w.children + 2 * i;
  slots[0].count = 0;
  slots[1].count = 0;
  const int axis = partition_node(a, task.node, task.start, task.count, task.keyed_axis);
  if (axis == kNoAxis) return;
  uint32_t left_count = task.count / 2;
  uint32_t right_count = task.count - left_count;
  if (task.count > w.chunk) {
    // Only the split here: the halves become tasks of the next wave, their node indices
    // fixed by the pre-order rule.
    NodeCountMemo memo(a.leaf_size);
    uint32_t left = task.node + 1;
    uint32_t right = left + memo.get(left_count);
    set_internal(a, task.node, left, right, task.count);
    slots[0] = {task.start, left_count, left, axis};
    slots[1] = {task.start + left_count, right_count, right, axis};
    return;
  }
  SubtreeBuilder worker{a, task.node + 1, nullptr};
  uint32_t left = worker.build(task.start, left_count, axis);
  uint32_t right = worker.build(task.start + left_count, right_count, axis);
  set_internal(a, task.node, left, right, task.count);
}

// Splits the top of the tree wave by wave; ranges of at most `chunk` triangles are built
// whole by one worker. Returns false when the wave plan does not fit the task lists.
bool build_in_waves(const TreeBuildArrays& a, int64_t threads, CancelPoller& poller) {
  uint32_t m = a.triangle_count;
  uint32_t chunk = std::max<uint32_t>(m / (8 * static_cast<uint32_t>(threads)), kMinSubtreeChunk);
  uint32_t cap = m / chunk;
  if (2 * (int64_t{cap} + 1) > kMaxTasks) return false;
  BuildTask tasks[kMaxTasks];
  BuildTask children[2 * kMaxTasks];
  tasks[0] = {0, m, 0, kNoAxis};
  int64_t task_count = 1;
  while (task_count > 0) {
    if (poller.callable != nullptr && poller.consult_counted()) return true;
    WaveContext wave{&a, chunk, tasks, children};
    parallel_for_each(build_task, &wave, task_count, std::min(threads, task_count));
    int64_t next = 0;
    for (int64_t s = 0; s < 2 * task_count; ++s)
      if (children[s].count != 0) tasks[next++] = children[s];
    task_count = next;
  }
  return true;
}

// Whether a node's box can depend on the order of its triangles. A box is folded as "take the
// first value, then any that is less (greater)": of values that compare equal the first wins,
// and a NaN wins only when it comes first. So the order matters when the triangle boxes hold
// a NaN, or both +0 and -0 on one axis. The flags of an axis tell which of them its minima
// and maxima hold.
constexpr uint32_t kNegativeZeroFlag = 1, kPositiveZeroFlag = 2, kNanFlag = 4;

inline uint32_t order_flags(double lo, double hi) {
  uint64_t lo_bits, hi_bits;
  std::memcpy(&lo_bits, &lo, sizeof lo_bits);
  std::memcpy(&hi_bits, &hi, sizeof hi_bits);
  constexpr uint64_t kNegativeZero = uint64_t{1} << 63;
  const bool negative_zero = (lo_bits == kNegativeZero) | (hi_bits == kNegativeZero);
  const bool positive_zero = (lo_bits == 0) | (hi_bits == 0);
  const bool nan = (lo != lo) | (hi != hi);
  return (negative_zero ? kNegativeZeroFlag : 0) | (positive_zero ? kPositiveZeroFlag : 0) |
         (nan ? kNanFlag : 0);
}

bool box_depends_on_order(const uint32_t flags[3]) {
  constexpr uint32_t kBothZeros = kNegativeZeroFlag | kPositiveZeroFlag;
  for (int d = 0; d < 3; ++d)
    if ((flags[d] & kBothZeros) == kBothZeros || (flags[d] & kNanFlag) != 0) return true;
  return false;
}

}  // namespace

uint32_t tree_node_count(uint32_t triangle_count, uint32_t leaf_size) {
  if (triangle_count == 0) return 0;
  NodeCountMemo memo(leaf_size);
  return memo.get(triangle_count);
}

void prepare_tree_build(const double* vertices, const uint32_t* triangles, TreeBuildArrays& a) {
  std::atomic<uint32_t> seen[3] = {0, 0, 0};
  auto prepare = [&](int64_t begin, int64_t end, int64_t, int64_t) {
    uint32_t flags[3] = {0, 0, 0};
    for (int64_t t = begin; t < end; ++t) {
      const double* p[3] = {vertices + 3 * size_t{triangles[3 * t]},
                            vertices + 3 * size_t{triangles[3 * t + 1]},
                            vertices + 3 * size_t{triangles[3 * t + 2]}};
      for (int d = 0; d < 3; ++d) {
        double lo = p[0][d], hi = p[0][d];
        for (int v = 1; v < 3; ++v) {
          if (p[v][d] < lo) lo = p[v][d];
          if (p[v][d] > hi) hi = p[v][d];
        }
        a.tri_min[kTriangleBoxStride * t + d] = lo;
        a.tri_max[kTriangleBoxStride * t + d] = hi;
        flags[d] |= order_flags(lo, hi);
      }
      a.split_pairs[t] = {0, static_cast<uint32_t>(t)};
    }
    for (int d = 0; d < 3; ++d) seen[d].fetch_or(flags[d], std::memory_order_relaxed);
  };
  for_each_range(a.triangle_count, 1, 65536, prepare);
  const uint32_t flags[3] = {seen[0].load(), seen[1].load(), seen[2].load()};
  a.any_selection = !box_depends_on_order(flags);
}

void build_tree(const TreeBuildArrays& a, int64_t threads, CancelPoller& poller) {
  if (a.triangle_count == 0) return;
  if (threads >= 2 && a.triangle_count >= kParallelBuildMinTriangles &&
      build_in_waves(a, threads, poller))
    return;
  SubtreeBuilder serial{a, 0, &poller};
  serial.build(0, a.triangle_count, kNoAxis);
}

}  // namespace zet
