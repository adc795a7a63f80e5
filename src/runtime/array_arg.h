// An acquired, read-only, C-contiguous view of one array argument, checked against an
// element kind, a rank and a shape template. The view is released when the owner's scope
// ends, so every path out of a module function releases exactly what it acquired.
#pragma once
#include <Python.h>

#include <cstdint>
#include <initializer_list>

namespace zet {

// One-letter struct formats accepted for each element kind, with their item sizes.
struct ElementKind {
  const char* letters;
  Py_ssize_t item_size;
};
inline constexpr ElementKind kFloat64{"d", 8};
inline constexpr ElementKind kUint32{"IL", 4};
inline constexpr ElementKind kInt32{"il", 4};
inline constexpr ElementKind kFlags{"B?", 1};  // uint8 or bool
inline constexpr ElementKind kBool{"?", 1};
inline constexpr ElementKind kInt8{"b", 1};
inline constexpr ElementKind kInt64{"qlx", 8};  // 'l' is how Linux exporters spell int64

class ArrayArg {
 public:
  ArrayArg() = default;
  ~ArrayArg() { release(); }
  ArrayArg(const ArrayArg&) = delete;
  ArrayArg& operator=(const ArrayArg&) = delete;

  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
    PyMem_Free(aligned_copy_);
    aligned_copy_ = nullptr;
  }
  bool held() const { return held_; }
  Py_ssize_t extent(int dimension) const { return view_.shape[dimension]; }
  template <class T>
  const T* data() const {
    return static_cast<const T*>(aligned_copy_ != nullptr ? aligned_copy_ : view_.buf);
  }

  const Py_buffer& view() const { return view_; }

  // Steps shared by the acquire functions below.
  bool get_buffer(PyObject* object);
  bool fail(const char* message, const char* name);
  bool shape_matches(std::initializer_list<Py_ssize_t> shape) const;
  // Kernels read elements through typed pointers, so a buffer that is not aligned to its
  // item size (an '=d' numpy view at an odd offset, a sliced memoryview) is copied once into
  // aligned memory of our own. Sets MemoryError and returns false when that copy fails.
  bool ensure_aligned();

 private:
  Py_buffer view_{};
  bool held_ = false;
  void* aligned_copy_ = nullptr;
};

// Generic check: item size, one format letter (after an optional '<', '=' or '@') from the
// kind's set, rank, then every non-negative entry of the shape template (-1 = any extent).
bool acquire_array(PyObject* object, ArrayArg& arg, ElementKind kind,
                   std::initializer_list<Py_ssize_t> shape, const char* name);
// Strict checks: a bare "d" float64 or "I"/"L" uint32 of the template's rank, then its
// fixed extents.
bool acquire_strict_float64(PyObject* object, ArrayArg& arg,
                            std::initializer_list<Py_ssize_t> shape, const char* name);
bool acquire_strict_uint32(PyObject* object, ArrayArg& arg, std::initializer_list<Py_ssize_t> shape,
                           const char* name);

}  // namespace zet
