#include "runtime/raw_memory.h"

#include <Python.h>

#include "runtime/huge_pages.h"

namespace zet {

void* raw_malloc(size_t size) {
  void* memory = PyMem_RawMalloc(size);
  if (memory != nullptr) advise_huge_pages(memory, size);
  return memory;
}

void* raw_realloc(void* pointer, size_t size) {
  void* memory = PyMem_RawRealloc(pointer, size);
  if (memory != nullptr) advise_huge_pages(memory, size);
  return memory;
}
void raw_free(void* pointer) { PyMem_RawFree(pointer); }

}  // namespace zet
