#include "runtime/thread_count.h"

#include <unistd.h>
#include <algorithm>
#include <atomic>

namespace zet {
namespace {

// Read and written by several interpreter threads at once; no ordering with other
// memory is needed, only freedom from data races.
std::atomic<int32_t> g_thread_limit{0};
std::atomic<int32_t> g_stage_count{0};

struct StageRecord {
  bool in_stage = false;
  int32_t stage_share = 100;
  // A thread that ends inside its stage leaves it, so that it stops sharing the limit.
  ~StageRecord() {
    if (in_stage) g_stage_count.fetch_sub(1, std::memory_order_relaxed);
  }
};
thread_local StageRecord t_stage;

}  // namespace

int32_t thread_limit_setting() { return g_thread_limit.load(std::memory_order_relaxed); }

int32_t exchange_thread_limit(int32_t limit) {
  return g_thread_limit.exchange(limit, std::memory_order_relaxed);
}

void enter_stage_share(int32_t share) {
  t_stage.stage_share = share;
  if (!t_stage.in_stage) {
    t_stage.in_stage = true;
    g_stage_count.fetch_add(1, std::memory_order_relaxed);
  }
}

void leave_stage_share() {
  if (!t_stage.in_stage) return;
  t_stage.in_stage = false;
  t_stage.stage_share = 100;
  g_stage_count.fetch_sub(1, std::memory_order_relaxed);
}

int64_t online_processor_count() {
  // Read once: asking the system costs a file read, and kernels ask on every call.
  static const int64_t count = [] {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? int64_t{1} : static_cast<int64_t>(n);
  }();
  return count;
}

int64_t effective_thread_count_for(int64_t limit, int64_t processors, bool in_stage,
                                   int64_t stage_count, int64_t share) {
  int64_t base = limit > 0 ? limit : (processors >= 2 ? processors - 1 : 1);
  if (!in_stage || stage_count < 2) return std::min<int64_t>(base, kMaxThreads);
  // The share applies to the uncapped base and rounds up.
  int64_t shared = (share * base + 99) / 100;
  return std::clamp<int64_t>(shared, 1, kMaxThreads);
}

int64_t effective_thread_count() {
  return effective_thread_count_for(thread_limit_setting(), online_processor_count(),
                                    t_stage.in_stage, g_stage_count.load(std::memory_order_relaxed),
                                    t_stage.stage_share);
}

}  // namespace zet
