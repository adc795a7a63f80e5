// A growable array of plain records for memory taken while the interpreter lock is released
// (stacks, queues, result lists), from the raw allocator. It starts with room for 64 entries and
// doubles when full; a failed growth is reported to the caller, which records an allocation
// failure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "runtime/raw_memory.h"

namespace zet {

template <class T>
class GrowableArray {
  static_assert(std::is_trivially_copyable_v<T>, "records are moved as bytes");

 public:
  static constexpr size_t kInitialCapacity = 64;

  GrowableArray() = default;
  ~GrowableArray() { raw_free(data_); }
  GrowableArray(const GrowableArray&) = delete;
  GrowableArray& operator=(const GrowableArray&) = delete;

  // Returns false, leaving the array as it was, when more memory cannot be had.
  [[nodiscard]] bool push_back(const T& value) {
    if (size_ == capacity_ && !grow()) return false;
    data_[size_++] = value;
    return true;
  }
  // Room for at least `count` entries in data(), for callers that keep their own count
  // (a stack whose pushes are written branch-free). Returns false when it cannot be had.
  [[nodiscard]] bool reserve(size_t count) {
    while (capacity_ < count)
      if (!grow()) return false;
    return true;
  }
  size_t capacity() const { return capacity_; }
  // Sets the size after the caller wrote the entries up to it in data(); at most capacity().
  void resize_within_capacity(size_t size) { size_ = size; }
  void pop_back() { --size_; }
  void clear() { size_ = 0; }

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T& back() { return data_[size_ - 1]; }

 private:
  bool grow() {
    size_t capacity = capacity_ == 0 ? kInitialCapacity : 2 * capacity_;
    if (capacity > SIZE_MAX / sizeof(T)) return false;
    void* grown = raw_realloc(data_, capacity * sizeof(T));
    if (grown == nullptr) return false;
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
    return true;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace zet
