#include "runtime/parallel_for.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <system_error>
#include <thread>

#include "runtime/thread_count.h"

namespace zet {
namespace {

// Starts a thread, or reports that it could not be created (never throws).
template <class F>
bool try_start(std::thread& slot, F&& body) {
  try {
    slot = std::thread(std::forward<F>(body));
    return true;
  } catch (const std::system_error&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// a * b / c without intermediate overflow (extents times a chunk index, or n_a x n_b).
int64_t mul_div(int64_t a, int64_t b, int64_t c) {
  __int128 q = static_cast<__int128>(a) * b / c;
  return q > INT64_MAX ? INT64_MAX : static_cast<int64_t>(q);
}

}  // namespace

void parallel_for_each_after(ItemWork work, void* context, int64_t count, int64_t threads,
                             void (*first)(void*), void* first_context) {
  int64_t t = std::min({threads, count, kMaxThreads});
  if (t <= 1) {
    if (first != nullptr) first(first_context);
    for (int64_t i = 0; i < count; ++i) work(context, i);
    return;
  }
  std::atomic<int64_t> next{0};
  auto claim_loop = [&] {
    for (;;) {
      int64_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= count) return;
      work(context, i);
    }
  };
  // A thread that cannot be created is simply missing: the others claim its items.
  std::thread started[kMaxThreads - 1];
  for (int64_t k = 0; k < t - 1; ++k) try_start(started[k], claim_loop);
  if (first != nullptr) first(first_context);
  claim_loop();
  for (int64_t k = 0; k < t - 1; ++k)
    if (started[k].joinable()) started[k].join();
}

void parallel_for_each(ItemWork work, void* context, int64_t count, int64_t threads) {
  parallel_for_each_after(work, context, count, threads, nullptr, nullptr);
}

int64_t plan_range_chunks(int64_t n_a, int64_t n_b, int64_t grain, int64_t threads,
                          RangeChunk chunks[32]) {
  int64_t by_grain = grain > 0 ? mul_div(n_a, n_b, grain) : threads;
  int64_t t = std::min({std::max(n_a, n_b), threads, by_grain, kMaxThreads});
  if (t <= 1) {
    chunks[0] = {0, n_a, 0, n_b};
    return 1;
  }
  bool slice_a = n_a >= n_b;
  for (int64_t i = 0; i < t; ++i) {
    if (slice_a)
      chunks[i] = {mul_div(n_a, i, t), mul_div(n_a, i + 1, t), 0, n_b};
    else
      chunks[i] = {0, n_a, mul_div(n_b, i, t), mul_div(n_b, i + 1, t)};
  }
  return t;
}

void parallel_for_range(RangeWork work, void* context, int64_t n_a, int64_t n_b, int64_t grain) {
  RangeChunk chunks[kMaxThreads];
  int64_t t = plan_range_chunks(n_a, n_b, grain, effective_thread_count(), chunks);
  auto run = [&](int64_t i) {
    const RangeChunk& c = chunks[i];
    work(context, c.a_begin, c.a_end, c.b_begin, c.b_end);
  };
  std::thread started[kMaxThreads - 1];
  for (int64_t i = 1; i < t; ++i)
    if (!try_start(started[i - 1], [&run, i] { run(i); })) run(i);
  run(0);
  for (int64_t i = 1; i < t; ++i)
    if (started[i - 1].joinable()) started[i - 1].join();
}

}  // namespace zet
