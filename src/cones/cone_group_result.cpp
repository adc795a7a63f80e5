#include "cones/cone_group_result.h"

#include <algorithm>

#include "cones/byte_sizes.h"
#include "runtime/gil.h"
#include "runtime/py_memory.h"

namespace zet {

PyObject* run_cone_group_job(ConeGroupJob& job, Py_ssize_t n) {
  const size_t items = static_cast<size_t>(n);
  PyRef has_group = new_bytes(items);
  PyMemArray<uint8_t> facet_counts;
  PyMemArray<int64_t> group_index;
  PyMemArray<uint64_t> facet_bits;
  if (!has_group || !facet_counts.allocate(std::max<size_t>(items, 1)) ||
      !group_index.allocate(std::max<size_t>(items, 1)) ||
      !facet_bits.allocate(saturating_product(std::max<size_t>(items, 1), kFacetWords)))
    return nullptr;
  job.has_group = bytes_data<uint8_t>(has_group);
  job.facet_counts = facet_counts.get();
  job.group_index = group_index.get();
  job.facet_bits = facet_bits.get();
  job.pass = 0;
  {
    GilReleased unlocked;
    run_cone_group_pass(job, n);
  }
  const size_t groups = static_cast<size_t>(compact_cone_groups(job, n));
  const size_t capacity = static_cast<size_t>(job.facet_capacity);
  PyRef generators = new_bytes(saturating_product(groups, 27, sizeof(double)));
  PyRef generator_mask = generators ? new_bytes(saturating_product(groups, 9)) : PyRef();
  PyRef facets = generator_mask
                     ? new_bytes(saturating_product(groups, capacity, 3 * sizeof(double)))
                     : PyRef();
  PyRef facet_mask = facets ? new_bytes(saturating_product(groups, capacity)) : PyRef();
  PyRef blocks_all = facet_mask ? new_bytes(groups) : PyRef();
  PyRef cap_axes = blocks_all ? new_bytes(saturating_product(groups, 3, sizeof(double))) : PyRef();
  PyRef cap_cos = cap_axes ? new_bytes(saturating_product(groups, sizeof(double))) : PyRef();
  if (!cap_cos) return nullptr;
  job.generators = bytes_data<double>(generators);
  job.generator_mask = bytes_data<uint8_t>(generator_mask);
  job.facets = bytes_data<double>(facets);
  job.facet_mask = bytes_data<uint8_t>(facet_mask);
  job.blocks_all = bytes_data<uint8_t>(blocks_all);
  job.cap_axes = bytes_data<double>(cap_axes);
  job.cap_cos = bytes_data<double>(cap_cos);
  job.pass = 1;
  {
    GilReleased unlocked;
    run_cone_group_pass(job, n);
  }
  return Py_BuildValue("(OnOOOOOOO)", has_group.get(), static_cast<Py_ssize_t>(capacity),
                       generators.get(), generator_mask.get(), facets.get(), facet_mask.get(),
                       blocks_all.get(), cap_axes.get(), cap_cos.get());
}

}  // namespace zet
