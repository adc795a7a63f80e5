// Unit tests of pieces that need no interpreter: the thread count formula, the range
// slicing, the fan-outs (also run under ThreadSanitizer), the lazily produced key orders,
// the prepared-block generations, the path query's node pair queue, the index check of
// the tree arguments and the winding walk on several threads. The cancellation schedules are
// replayed by the Python references (test_collision_path, test_checks_self,
// test_distance_clearance, test_tree).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "collision/node_pair_queue.h"
#include "collision/window_order.h"
#include "cones/refined_key_order.h"
#include "rays/coherent_order.h"
#include "rays/leaf_blocks.h"
#include "rays/ray_winding.h"
#include "runtime/cancel_poller.h"
#include "runtime/huge_pages.h"
#include "runtime/key_order.h"
#include "runtime/parallel_for.h"
#include "runtime/thread_count.h"
#include "tree/tree_view.h"

using namespace zet;

// The module allocates through the interpreter's raw allocator; without an interpreter here,
// the C library's stands in.
namespace zet {
void* raw_malloc(size_t size) { return std::malloc(size); }
void* raw_realloc(void* pointer, size_t size) { return std::realloc(pointer, size); }
void raw_free(void* pointer) { std::free(pointer); }
// The ray walks linked here for the winding test consult a caller's should_cancel only in
// calls that take one; no test here does.
void CancelPoller::consult_work() {}
}  // namespace zet

static int failures = 0, checks = 0;
#define CHECK(cond)                                                 \
  do {                                                              \
    ++checks;                                                       \
    if (!(cond)) {                                                  \
      ++failures;                                                   \
      std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #cond); \
    }                                                               \
  } while (0)

static void test_effective_count() {
  // Limit 0 on 9 processors: base 8.
  CHECK(effective_thread_count_for(0, 9, false, 0, 100) == 8);
  CHECK(effective_thread_count_for(0, 9, true, 2, 50) == 4);
  CHECK(effective_thread_count_for(0, 9, true, 2, 30) == 3);
  CHECK(effective_thread_count_for(0, 9, true, 2, 1) == 1);
  CHECK(effective_thread_count_for(0, 9, true, 1, 1) == 8);  // alone: full count
  CHECK(effective_thread_count_for(64, 9, false, 5, 30) == 32);
  CHECK(effective_thread_count_for(64, 9, true, 2, 30) == 20);  // 19.2 rounded up
  CHECK(effective_thread_count_for(0, 1, false, 0, 100) == 1);
  CHECK(effective_thread_count_for(0, 2, false, 0, 100) == 1);
  CHECK(effective_thread_count_for(1000, 2, false, 0, 100) == 32);
  CHECK(effective_thread_count_for(2147483647, 2, true, 3, 100) == 32);
}

// The advised range never leaves its block: whole huge pages only, none when none fits.
static void test_huge_pages_inside() {
  constexpr uintptr_t H = kHugePageBytes;
  HugePageRange r = huge_pages_inside(3 * H + 16, 4 * H);
  CHECK(r.begin == 4 * H && r.end == 7 * H);
  r = huge_pages_inside(2 * H, 2 * H);  // aligned at both ends: all of it
  CHECK(r.begin == 2 * H && r.end == 4 * H);
  r = huge_pages_inside(H + 1, H);  // straddles one boundary but holds no whole page
  CHECK(r.end <= r.begin);
  for (uintptr_t start : {uintptr_t{1}, H - 1, H, 5 * H + 4096})
    for (size_t bytes : {size_t{0}, size_t{4096}, size_t(H), size_t(3 * H + 7)}) {
      r = huge_pages_inside(start, bytes);
      CHECK(r.end <= r.begin ||
            (r.begin >= start && r.end <= start + bytes && r.begin % H == 0 && r.end % H == 0));
    }
}

static void test_range_plan() {
  RangeChunk c[32];
  CHECK(plan_range_chunks(10, 1, 1, 4, c) == 4);
  int64_t expect[5] = {0, 2, 5, 7, 10};
  for (int i = 0; i < 4; ++i) CHECK(c[i].a_begin == expect[i] && c[i].a_end == expect[i + 1]);
  CHECK(c[0].b_begin == 0 && c[0].b_end == 1);
  // b larger than a: slice b.
  CHECK(plan_range_chunks(3, 100, 10, 4, c) == 4);
  CHECK(c[0].a_end == 3 && c[0].b_end == 25 && c[3].b_begin == 75 && c[3].b_end == 100);
  // Tie slices a.
  CHECK(plan_range_chunks(8, 8, 1, 2, c) == 2 && c[0].a_end == 4 && c[0].b_end == 8);
  // Below two grains: one chunk over everything.
  CHECK(plan_range_chunks(8191, 1, 4096, 8, c) == 1 && c[0].a_end == 8191);
  CHECK(plan_range_chunks(8192, 1, 4096, 8, c) == 2);
  CHECK(plan_range_chunks(0, 0, 1, 8, c) == 1 && c[0].a_end == 0);
  // Capped at 32 and never overflowing on huge extents.
  CHECK(plan_range_chunks(int64_t{1} << 62, int64_t{1} << 40, 1, 1000, c) == 32);
  CHECK(c[31].a_end == int64_t{1} << 62);
}

static void test_fan_outs() {
  for (int64_t threads : {1, 2, 5, 32, 100}) {
    std::vector<std::atomic<int>> seen(1000);
    auto body = [&](int64_t i) { seen[i].fetch_add(1); };
    for_each_item(1000, threads, body);
    bool once = true;
    for (auto& s : seen) once = once && s.load() == 1;
    CHECK(once);
  }
  // With a head start: the caller's task runs once, and every item still runs once.
  for (int64_t threads : {1, 4}) {
    std::vector<std::atomic<int>> seen(500);
    int first_runs = 0;
    auto body = [&](int64_t i) { seen[i].fetch_add(1); };
    auto first = [&] { ++first_runs; };
    for_each_item_after(500, threads, body, first);
    bool once = first_runs == 1;
    for (auto& s : seen) once = once && s.load() == 1;
    CHECK(once);
  }

  std::vector<int> order;
  auto serial = [&](int64_t i) { order.push_back(static_cast<int>(i)); };
  for_each_item(5, 1, serial);
  CHECK((order == std::vector<int>{0, 1, 2, 3, 4}));

  exchange_thread_limit(7);
  std::vector<std::atomic<int>> cells(300 * 7);
  auto rect = [&](int64_t a0, int64_t a1, int64_t b0, int64_t b1) {
    for (int64_t a = a0; a < a1; ++a)
      for (int64_t b = b0; b < b1; ++b) cells[a * 7 + b].fetch_add(1);
  };
  for_each_range(300, 7, 10, rect);
  bool covered = true;
  for (auto& c : cells) covered = covered && c.load() == 1;
  CHECK(covered);
  exchange_thread_limit(0);
}

// Keys with NaN, -0 and infinities, and lower bounds of them (the key less a random amount,
// -infinity, or the key itself) made exact on request. Every prefix, read in bursts as the
// cell batches read it, is a stable sort by the exact key with NaN keys last and -0 tied
// with +0; keys far down the order are never made exact when only the start is read.
static void test_key_orders() {
  std::mt19937_64 rng(9);
  const double specials[] = {std::nan(""), -0.0, 0.0, INFINITY, -INFINITY, 1.0};
  for (int64_t n : {0, 1, 2, 63, 64, 65, 127, 128, 129, 130, 257, 1000, 5000}) {
    std::vector<double> exact(size_t(n) + 1), start(size_t(n) + 1);
    std::vector<uint8_t> provisional(size_t(n) + 1);
    for (int64_t j = 0; j < n; ++j) {
      double& k = exact[size_t(j)];
      k = rng() % 4 == 0 ? specials[rng() % 6] : double(rng() % 50) / 7;
      const bool lower = k == k && rng() % 3 != 0;  // a NaN key is always exact
      provisional[size_t(j)] = lower ? 1 : 0;
      start[size_t(j)] = !lower ? k : rng() % 5 == 0 ? -INFINITY : k - double(rng() % 20) / 7;
    }
    std::vector<int64_t> expect(static_cast<size_t>(n));
    for (int64_t j = 0; j < n; ++j) expect[size_t(j)] = j;
    std::stable_sort(expect.begin(), expect.end(), [&](int64_t x, int64_t y) {
      const double a = exact[size_t(x)], b = exact[size_t(y)];
      return a != a || b != b ? a == a && b != b : a < b;
    });
    for (int64_t stride : {1, 7, 64, 1000}) {
      std::vector<KeyedPosition> scratch(size_t(n) + 1);
      KeyOrder plain;
      plain.start(exact.data(), n, scratch.data());
      bool same = true;
      for (int64_t r = 0; r < n; r += stride)
        for (int64_t q = r; q < std::min(n, r + stride); ++q)
          same = same && plain.at(q) == expect[size_t(q)];
      CHECK(same);

      same = true;
      std::vector<uint8_t> flags = provisional;
      std::vector<double> key = start;
      int64_t refined = 0;
      auto refine = [&](int64_t j) {
        CHECK(flags[size_t(j)] == 1);
        flags[size_t(j)] = 0;
        ++refined;
        return key[size_t(j)] = exact[size_t(j)];
      };
      RefinedKeyOrder<decltype(refine)> order;
      order.start(key.data(), flags.data(), n, scratch.data(), refine);
      const int64_t read = stride == 1 ? std::min<int64_t>(n, 20) : n;
      for (int64_t r = 0; r < read; r += stride)
        for (int64_t q = r; q < std::min(read, r + stride); ++q) {
          const int64_t j = order.at(q);
          same = same && j == expect[size_t(q)] && flags[size_t(j)] == 0;
        }
      CHECK(same);
      if (stride == 1 && n == 5000) CHECK(refined < n / 4);
    }
  }
}

// Prepared blocks reused over many directions: a stamp from an earlier generation never
// passes for the current one, also once the 32-bit generations have gone round.
static void test_lazy_generations() {
  const BlockSpan spans[3] = {{0, 4}, {4, 4}, {8, 1}};
  LazyLeaves lazy;
  CHECK(reserve_lazy_leaves(lazy, spans, 3));
  uint32_t* stamps = lazy.stamps.get();
  for (int b = 0; b < 3; ++b) CHECK(stamps[b] != lazy.generation);  // none prepared at first
  stamps[1] = lazy.generation;  // prepared in the first generation
  next_generation(lazy);
  CHECK(stamps[1] != lazy.generation);
  lazy.generation = UINT32_MAX - 1;
  next_generation(lazy);
  stamps[0] = lazy.generation;  // prepared in the last generation before the wrap
  stamps[2] = 1;                // prepared long ago, in the generation after a wrap
  next_generation(lazy);
  for (int b = 0; b < 3; ++b) CHECK(stamps[b] != lazy.generation);
  CHECK(lazy.generation != 0);
}

// The node pair queue against a sorted list under the window order as the module's other
// users state it: pushes, pops and top replacements in random mixes, over windows drawn
// from a few values (ties broken by the node indices, -0 tied with +0, NaN above all) with
// node pairs never repeated. Every top must be the reference's first pair, bits included.
static void test_node_pair_queue() {
  std::mt19937_64 rng(13);
  const double values[] = {std::nan(""), -std::nan(""), -0.0, 0.0, 1.0, 0.5, INFINITY, -1.0};
  auto before = [](const NodePair& p, const NodePair& q) {
    return later_window_first(p.hi, p.lo, p.moving_node(), p.obstacle_node(), q.hi, q.lo,
                              q.moving_node(), q.obstacle_node());
  };
  auto same_bits = [](const NodePair& p, const NodePair& q) {
    return std::memcmp(&p, &q, sizeof(NodePair)) == 0;
  };
  for (int round = 0; round < 40; ++round) {
    NodePairQueue queue;
    std::vector<NodePair> reference;  // sorted, first pair last
    int32_t next_node = 0;
    bool agree = true;
    size_t largest = 0;
    for (int step = 0; step < 3000; ++step) {
      const double lo = values[rng() % 8], hi = values[rng() % (round % 2 ? 3 : 8)];
      const int32_t moving = next_node / 3, obstacle = next_node % 3 * 1000000007;
      const NodePair pair = node_pair(lo, hi, moving, obstacle);
      next_node += 1 + int32_t(rng() % 2);
      const int action = reference.empty() ? 0 : int(rng() % (step < 2000 ? 5 : 3));
      if (action <= 1) {  // push
        CHECK(queue.push(pair));
        reference.push_back(pair);
      } else if (action == 2) {  // pop
        queue.pop();
        reference.pop_back();
      } else {  // the top replaced by a new pair
        queue.replace_top(pair);
        reference.back() = pair;
      }
      std::sort(reference.begin(), reference.end(),
                [&](const NodePair& p, const NodePair& q) { return before(q, p); });
      agree = agree && queue.size() == reference.size() &&
              (reference.empty() || same_bits(queue.top(), reference.back()));
      largest = std::max(largest, reference.size());
    }
    while (!reference.empty()) {  // drain
      agree = agree && same_bits(queue.top(), reference.back());
      queue.pop();
      reference.pop_back();
    }
    CHECK(agree && queue.empty() && largest > 200);
  }
  const NodePair p = node_pair(-0.0, std::nan(""), 2147483646, 7);
  CHECK(p.moving_node() == 2147483646 && p.obstacle_node() == 7 && std::signbit(p.lo));
}

// indices_below against the largest index: every position of the one offending index (the
// check runs in blocks with a tail), limits at the edges of the 32-bit range and below 1.
// The ray order split over threads is the order of one pass, for counts on both sides of a
// range and with points that project to no finite position; and it is a permutation.
static void test_coherent_order_split() {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> coordinate(-2.0, 2.0);
  const double direction[3] = {0.3, 0.5, 0.8};
  bool same = true, permutation = true;
  for (int64_t count :
       {int64_t{1000}, int64_t{(1 << 17) - 1}, int64_t{(1 << 18) + 5}, int64_t{700001}}) {
    const size_t n = static_cast<size_t>(count);
    std::vector<double> points(3 * n);
    for (double& x : points) x = coordinate(rng);
    for (int64_t i = 0; i < count; i += 9973) points[size_t(3 * i + i % 3)] = NAN;
    const size_t cells = size_t{coherent_cell_count(count)} + 1;
    std::vector<uint32_t> keys(n), starts(cells), one(n), split(n);
    CHECK(
        coherent_order(points.data(), count, direction, keys.data(), starts.data(), one.data(), 1));
    for (int64_t threads : {2, 3, 7, 32}) {
      CHECK(coherent_order(points.data(), count, direction, keys.data(), starts.data(),
                           split.data(), threads));
      same = same && split == one;
    }
    std::vector<bool> seen(n);
    for (uint32_t i : one) {
      permutation = permutation && i < count && !seen[i];
      if (i < count) seen[i] = true;
    }
  }
  CHECK(same);
  CHECK(permutation);
}

static void test_indices_below() {
  std::mt19937_64 rng(5);
  const int64_t limits[] = {-1,
                            0,
                            1,
                            2,
                            1000,
                            int64_t{UINT32_MAX} - 1,
                            int64_t{UINT32_MAX},
                            int64_t{UINT32_MAX} + 1,
                            int64_t{1} << 40};
  bool agree = true;
  for (int64_t count : {0, 1, 15, 16, 17, 33, 100}) {
    std::vector<uint32_t> indices(size_t(count) + 1);
    for (int64_t at = -1; at < count; ++at)
      for (uint32_t big : {1u, 999u, 1000u, UINT32_MAX - 1, UINT32_MAX}) {
        for (int64_t i = 0; i < count; ++i) indices[size_t(i)] = uint32_t(rng() % 2);
        if (at >= 0) indices[size_t(at)] = big;
        uint32_t largest = 0;
        for (int64_t i = 0; i < count; ++i) largest = std::max(largest, indices[size_t(i)]);
        for (int64_t limit : limits)
          agree = agree && indices_below(indices.data(), count, limit) ==
                               (count == 0 || int64_t{largest} < limit);
      }
  }
  CHECK(agree);
}

// A closed torus (outward normals) with a median-split box tree, as the winding walk takes it.
struct TorusSolid {
  static constexpr double kMajor = 1.0, kMinor = 0.4;
  static constexpr int kLeaf = 4;
  std::vector<double> corners, node_min, node_max;
  std::vector<int64_t> left, right, leaf_table;
  std::vector<uint8_t> is_leaf, usable;

  TorusSolid(int around, int across) {
    auto at = [&](int i, int j, double* out) {
      const double u = 2 * M_PI * (i % around) / around, v = 2 * M_PI * (j % across) / across;
      out[0] = (kMajor + kMinor * std::cos(v)) * std::cos(u);
      out[1] = (kMajor + kMinor * std::cos(v)) * std::sin(u);
      out[2] = kMinor * std::sin(v);
    };
    for (int i = 0; i < around; ++i)
      for (int j = 0; j < across; ++j) {
        const int quad[4][2] = {{i, j}, {i + 1, j}, {i + 1, j + 1}, {i, j + 1}};
        const int halves[2][3] = {{0, 1, 2}, {0, 2, 3}};
        for (const auto& half : halves) {
          double c[9];
          for (int k = 0; k < 3; ++k) at(quad[half[k]][0], quad[half[k]][1], c + 3 * k);
          corners.insert(corners.end(), c, c + 9);
        }
      }
    usable.assign(corners.size() / 9, 1);
    std::vector<int64_t> ids(usable.size());
    for (size_t t = 0; t < ids.size(); ++t) ids[t] = int64_t(t);
    build(ids, 0, int64_t(ids.size()));
  }

  // Node of ids[begin, end), numbered before its children.
  int64_t build(std::vector<int64_t>& ids, int64_t begin, int64_t end) {
    const int64_t node = int64_t(is_leaf.size());
    double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (int64_t k = begin; k < end; ++k)
      for (int c = 0; c < 9; ++c) {
        lo[c % 3] = std::min(lo[c % 3], corners[size_t(9 * ids[size_t(k)] + c)]);
        hi[c % 3] = std::max(hi[c % 3], corners[size_t(9 * ids[size_t(k)] + c)]);
      }
    node_min.insert(node_min.end(), lo, lo + 3);
    node_max.insert(node_max.end(), hi, hi + 3);
    left.push_back(-1);
    right.push_back(-1);
    is_leaf.push_back(end - begin <= kLeaf);
    leaf_table.resize(leaf_table.size() + kLeaf, -1);
    if (end - begin <= kLeaf) {
      for (int64_t k = begin; k < end; ++k)
        leaf_table[size_t(node * kLeaf + k - begin)] = ids[size_t(k)];
      return node;
    }
    int axis = 0;
    for (int a = 1; a < 3; ++a)
      if (hi[a] - lo[a] > hi[axis] - lo[axis]) axis = a;
    auto centre = [&](int64_t t) {
      return corners[size_t(9 * t + axis)] + corners[size_t(9 * t + 3 + axis)] +
             corners[size_t(9 * t + 6 + axis)];
    };
    const int64_t middle = (begin + end) / 2;
    std::nth_element(ids.begin() + begin, ids.begin() + middle, ids.begin() + end,
                     [&](int64_t a, int64_t b) {
                       return centre(a) < centre(b) || (centre(a) == centre(b) && a < b);
                     });
    const int64_t l = build(ids, begin, middle);
    const int64_t r = build(ids, middle, end);
    left[size_t(node)] = l;
    right[size_t(node)] = r;
    return node;
  }

  WindingTree tree() const {
    return {node_min.data(), node_max.data(),       left.data(),
            right.data(),    is_leaf.data(),        leaf_table.data(),
            corners.data(),  usable.data(),         int64_t(is_leaf.size()),
            kLeaf,           int64_t(usable.size())};
  }
};

// The winding walk of many points split over threads (the spatial order, the prepared leaf
// groups and the walks each in ranges of their own, also under ThreadSanitizer) gives one
// thread's counts, those equal each point's own binary walk, and points well inside or outside
// the torus count -1 or 0. The torus has enough triangles for three ranges of leaf groups and
// there are enough points for two ranges of the order.
static void test_winding_threads() {
  const TorusSolid torus(320, 160);
  const int64_t count = (int64_t{1} << 18) + 5;
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> across(-1.5, 1.5), up(-0.5, 0.5);
  std::vector<double> points(static_cast<size_t>(3 * count));
  for (int64_t i = 0; i < count; ++i) {
    points[size_t(3 * i)] = across(rng);
    points[size_t(3 * i + 1)] = across(rng);
    points[size_t(3 * i + 2)] = up(rng);
  }
  const size_t n = static_cast<size_t>(count);
  std::vector<int64_t> one(n), split(n);
  std::vector<uint8_t> one_ambiguous(n), split_ambiguous(n);
  WindingBatch batch{torus.tree(), points.data(), count,      {0.3, 0.5, 0.8},
                     1e-12,        1e-12,         one.data(), one_ambiguous.data()};
  CHECK(run_ray_winding(batch, 1));
  batch.crossings = split.data();
  batch.ambiguous = split_ambiguous.data();
  CHECK(run_ray_winding(batch, 3));
  CHECK(split == one && split_ambiguous == one_ambiguous);
  bool binary = true, geometry = true;
  int64_t decided = 0;
  for (int64_t i = 0; i < count; i += 61) {
    const double* p = &points[size_t(3 * i)];
    int64_t crossings = 0;
    bool ambiguous = false;
    CHECK(wind_binary(batch, p, crossings, ambiguous));
    binary = binary && crossings == one[size_t(i)] && ambiguous == (one_ambiguous[size_t(i)] != 0);
    // The tessellation lies within 0.01 of the smooth torus: points farther from it are decided.
    const double ring = std::hypot(p[0], p[1]) - TorusSolid::kMajor;
    const double off = std::hypot(ring, p[2]) - TorusSolid::kMinor;
    if (std::abs(off) > 0.01 && !one_ambiguous[size_t(i)]) {
      geometry = geometry && one[size_t(i)] == (off < 0 ? -1 : 0);
      ++decided;
    }
  }
  CHECK(binary);
  CHECK(geometry);
  CHECK(decided > count / 100);
}

int main() {
  test_winding_threads();
  test_indices_below();
  test_coherent_order_split();
  test_node_pair_queue();
  test_lazy_generations();
  test_key_orders();
  test_effective_count();
  test_range_plan();
  test_huge_pages_inside();
  test_fan_outs();
  std::printf("native: %d passed, %d failed\n", checks - failures, failures);
  return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
