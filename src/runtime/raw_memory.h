// The interpreter's raw allocator, for memory taken while the interpreter lock is released
// (it needs no lock). Declared here without the interpreter's headers so that kernels can
// use it and stay free of the C API.
#pragma once
#include <cstddef>

namespace zet {

void* raw_malloc(size_t size);
void* raw_realloc(void* pointer, size_t size);
void raw_free(void* pointer);

}  // namespace zet
