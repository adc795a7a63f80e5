// Two-generator wedges of cone groups: for every pair of generator slots (i, j), i < j, the
// normal of the plane that holds both generators and the inward normals of the two sides
// that bound the wedge between them within that plane. Pure C++.
#pragma once
#include <cstdint>

namespace zet {

struct ConeWedgeJob {
  const double* generators = nullptr;  // G x K x 3
  const uint8_t* mask = nullptr;       // G x K, nonzero = live
  int64_t slots = 0;                   // K
  int64_t wedges = 0;                  // P = K (K - 1) / 2 per group
  double* planes = nullptr;            // G x P x 3
  double* first_sides = nullptr;       // G x P x 3
  double* second_sides = nullptr;      // G x P x 3
  uint8_t* usable = nullptr;           // G x P
};

// Every wedge of groups [begin, end), usable or not.
void cone_wedge_rows(const ConeWedgeJob& job, int64_t begin, int64_t end);

// All G groups on worker threads (static slices, grain 512).
void run_cone_wedges(const ConeWedgeJob& job, int64_t groups);

}  // namespace zet
