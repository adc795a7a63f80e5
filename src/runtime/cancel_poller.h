// Consults the caller's should_cancel callable from the calling thread while the numeric
// work runs without the interpreter lock. Two disciplines:
//  - counted (poll): one call per unit of work; the callable is asked at polls
//    1, 1 + interval, 1 + 2 x interval, ...
//  - work (poll_work): the caller reports work units; the callable is asked once the
//    reported work reaches next_check, which then moves interval units further.
// The flags are sticky: once set, the operation stops and reports after re-taking the lock.
#pragma once
#include <cstdint>

struct _object;  // the interpreter's object type; this header stays free of its API

namespace zet {

struct CancelPoller {
  _object* callable = nullptr;  // borrowed; absent when should_cancel is None
  uint32_t interval = 1;
  uint32_t poll_count = 0;
  uint64_t work_done = 0;
  uint64_t next_check = 0;
  bool cancelled = false;
  bool error = false;

  // Counted discipline: whether this poll is one at which the callable is asked.
  bool counted_poll_due() {
    if (callable == nullptr) return false;
    uint32_t c = poll_count++;
    return c % interval == 0;
  }

  // Work discipline: adds the units and tells whether the callable is to be asked now.
  bool work_poll_due(uint64_t units) {
    work_done += units;
    if (callable == nullptr || work_done < next_check) return false;
    next_check = work_done + interval;
    return true;
  }

  // Whether reporting these units next would ask the callable; changes nothing.
  bool work_poll_due_next(uint64_t units) const {
    return callable != nullptr && work_done + units >= next_check;
  }

  bool poll() { return counted_poll_due() ? consult_counted() : false; }

  bool poll_work(uint64_t units) {
    if (!work_poll_due(units)) return false;
    consult_work();
    return cancelled || error;
  }

  // Asks the callable now, taking the interpreter lock for the call alone. An exception
  // (from the call or from its truth value) sets error; counted consults also count it
  // as a cancellation. Returns cancelled.
  bool consult_counted();
  void consult_work();
};

}  // namespace zet
