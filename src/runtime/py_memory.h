// Owners of interpreter references and of working memory taken with the lock held. Each
// owner frees on every path when its scope ends, with the lock held again: every owner of
// a call is declared before, and so outlives, the scope that releases the lock.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <limits>

namespace zet {

// An owned reference (new reference in, decref on scope exit unless released).
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* object) : object_(object) {}
  ~PyRef() { Py_XDECREF(object_); }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  PyObject* release() {
    PyObject* o = object_;
    object_ = nullptr;
    return o;
  }
  // Takes a new reference in place of the one held.
  void reset(PyObject* object) {
    Py_XDECREF(object_);
    object_ = object;
  }

 private:
  PyObject* object_ = nullptr;
};

// An array of T from PyMem_Malloc, allocated with the lock held.
template <class T>
class PyMemArray {
 public:
  PyMemArray() = default;
  ~PyMemArray() { PyMem_Free(data_); }
  PyMemArray(const PyMemArray&) = delete;
  PyMemArray& operator=(const PyMemArray&) = delete;
  // Sets MemoryError and returns false on failure or when the size overflows.
  bool allocate(size_t count) {
    PyMem_Free(data_);
    data_ = nullptr;
    if (count > std::numeric_limits<size_t>::max() / sizeof(T)) {
      PyErr_NoMemory();
      return false;
    }
    data_ = static_cast<T*>(PyMem_Malloc(count == 0 ? 1 : count * sizeof(T)));
    if (data_ == nullptr) PyErr_NoMemory();
    return data_ != nullptr;
  }
  T* get() const { return data_; }
  T& operator[](size_t i) const { return data_[i]; }

 private:
  T* data_ = nullptr;
};

// A new bytes object of a given size, filled in place before it is handed out.
// Returns an empty owner (with MemoryError or OverflowError set) on failure. Unlike working
// memory (raw_memory.h), results are not advised onto huge pages: they are handed to the
// caller, mostly to be copied into arrays of its own, and the first touch of huge pages new
// to the process can cost far more than that of small ones (on a virtual machine here, a
// 160 MB result took 570 to 900 ms with the advice, a steady 630 without).
inline PyRef new_bytes(size_t size) {
  if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    return PyRef();
  }
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  return PyRef(bytes);
}

template <class T>
T* bytes_data(const PyRef& bytes) {
  return reinterpret_cast<T*>(PyBytes_AS_STRING(bytes.get()));
}

// Arguments of a "y#" build format for a packed array: a byte pointer that is never null
// (a null pointer would build None instead of an empty byte string) and a byte count.
template <class T>
const char* packed_bytes(const T* data) {
  return data != nullptr ? reinterpret_cast<const char*>(data) : "";
}
template <class Array>
Py_ssize_t byte_size(const Array& array) {
  return static_cast<Py_ssize_t>(array.size() * sizeof(array[0]));
}

}  // namespace zet
