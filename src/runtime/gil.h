// The interpreter lock released for the lifetime of a scope.
#pragma once
#include <Python.h>

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

}  // namespace zet
