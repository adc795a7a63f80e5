// A velocity with a NaN or infinite component makes every swept box and every contact
// window NaN: traversals then accept every node pair and return a flood of meaningless
// records. The path functions refuse such a velocity before any work starts.
#pragma once
#include <Python.h>

#include <cmath>

#include "runtime/call_args.h"

namespace zet {

inline bool require_finite_velocity(const double* velocity) {
  return require(
      std::isfinite(velocity[0]) && std::isfinite(velocity[1]) && std::isfinite(velocity[2]),
      "velocity must be finite");
}

}  // namespace zet
