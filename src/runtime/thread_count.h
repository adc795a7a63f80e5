// How many threads a kernel may use: a process-wide limit, the machine's processor
// count, and the calling thread's share while several search stages run at once.
#pragma once
#include <cstdint>

namespace zet {

inline constexpr int64_t kMaxThreads = 32;

// Process-wide limit: 0 means automatic (one processor is left to the interpreter).
int32_t thread_limit_setting();
// Stores a new limit and returns the previous one.
int32_t exchange_thread_limit(int32_t limit);

// Marks the calling thread as a search stage with the given share (1..100 percent).
// A thread that is already marked only updates its share.
void enter_stage_share(int32_t share);
// Unmarks the calling thread; a no-op on an unmarked thread.
void leave_stage_share();

// Threads a kernel started from the calling thread may use right now, 1 to 32.
int64_t effective_thread_count();

// The formula behind effective_thread_count, free of process state so it can be checked
// with any processor count.
int64_t effective_thread_count_for(int64_t limit, int64_t processors, bool in_stage,
                                   int64_t stage_count, int64_t share);

// Number of online logical processors (at least 1).
int64_t online_processor_count();

}  // namespace zet
