// Working memory of one call from the raw allocator (usable with the interpreter lock
// released), freed when the owner's scope ends.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/raw_memory.h"

namespace zet {

template <class T>
class RawArray {
 public:
  RawArray() = default;
  ~RawArray() { raw_free(data_); }
  RawArray(const RawArray&) = delete;
  RawArray& operator=(const RawArray&) = delete;
  // Room for max(count, 1) elements, keeping the old contents; false (nothing changed) when
  // the memory cannot be had or the size is beyond any allocation.
  [[nodiscard]] bool resize(size_t count) {
    size_t bytes;
    if (__builtin_mul_overflow(count > 0 ? count : 1, sizeof(T), &bytes)) return false;
    void* grown = raw_realloc(data_, bytes);
    if (grown == nullptr) return false;
    data_ = static_cast<T*>(grown);
    return true;
  }
  T* get() const { return data_; }

 private:
  T* data_ = nullptr;
};

}  // namespace zet
