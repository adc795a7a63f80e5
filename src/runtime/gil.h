// The interpreter lock released for the lifetime of a scope.
#pragma once
#include <Python.h>

#include <cstdint>

namespace zet {

class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Checks that scan an argument's values (indices, node records) read every element on every
// call. Past this many elements a scan outlasts handing the lock to a waiting thread, so it
// runs released and other threads' Python goes on meanwhile; shorter scans keep the lock.
constexpr int64_t kScanReleasesLockFrom = int64_t{1} << 14;

// The lock released for a scope when its scan covers at least kScanReleasesLockFrom elements.
class GilReleasedForScan {
 public:
  explicit GilReleasedForScan(int64_t elements)
      : state_(elements >= kScanReleasesLockFrom ? PyEval_SaveThread() : nullptr) {}
  ~GilReleasedForScan() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  GilReleasedForScan(const GilReleasedForScan&) = delete;
  GilReleasedForScan& operator=(const GilReleasedForScan&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace zet
