#include "runtime/raw_memory.h"

#include <Python.h>

namespace zet {

void* raw_malloc(size_t size) { return PyMem_RawMalloc(size); }
void* raw_realloc(void* pointer, size_t size) { return PyMem_RawRealloc(pointer, size); }
void raw_free(void* pointer) { PyMem_RawFree(pointer); }

}  // namespace zet
