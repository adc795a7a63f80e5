#include "runtime/array_arg.h"

#include <cstdint>
#include <cstring>

namespace zet {

bool ArrayArg::get_buffer(PyObject* object) {
  release();
  // A read-only request for a C-contiguous buffer that reports its format.
  if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return false;
  held_ = true;
  return true;
}

bool ArrayArg::fail(const char* message, const char* name) {
  PyErr_Format(PyExc_ValueError, message, name);
  release();
  return false;
}

bool ArrayArg::ensure_aligned() {
  const size_t alignment = static_cast<size_t>(view_.itemsize);
  if (alignment <= 1 || reinterpret_cast<uintptr_t>(view_.buf) % alignment == 0) return true;
  aligned_copy_ = PyMem_Malloc(view_.len > 0 ? static_cast<size_t>(view_.len) : 1);
  if (aligned_copy_ == nullptr) {
    PyErr_NoMemory();
    release();
    return false;
  }
  std::memcpy(aligned_copy_, view_.buf, static_cast<size_t>(view_.len));
  return true;
}

bool ArrayArg::shape_matches(std::initializer_list<Py_ssize_t> shape) const {
  int d = 0;
  for (Py_ssize_t expected : shape) {
    if (expected >= 0 && view_.shape[d] != expected) return false;
    ++d;
  }
  return true;
}

bool acquire_array(PyObject* object, ArrayArg& arg, ElementKind kind,
                   std::initializer_list<Py_ssize_t> shape, const char* name) {
  if (!arg.get_buffer(object)) return false;
  const Py_buffer& v = arg.view();
  const char* format = v.format ? v.format : "";
  if (*format == '<' || *format == '=' || *format == '@') ++format;
  bool kind_ok = v.itemsize == kind.item_size && std::strlen(format) == 1 &&
                 std::strchr(kind.letters, format[0]) != nullptr &&
                 v.ndim == static_cast<int>(shape.size());
  if (!kind_ok) return arg.fail("%s has an unsupported dtype or rank", name);
  if (!arg.shape_matches(shape)) return arg.fail("%s has an invalid shape", name);
  return arg.ensure_aligned();
}

namespace {

bool acquire_strict(PyObject* object, ArrayArg& arg, std::initializer_list<Py_ssize_t> shape,
                    const char* name, Py_ssize_t item_size, const char* letters,
                    const char* dtype_message);

}  // namespace

bool acquire_strict_float64(PyObject* object, ArrayArg& arg,
                            std::initializer_list<Py_ssize_t> shape, const char* name) {
  return acquire_strict(object, arg, shape, name, 8, "d",
                        "%s must be a C-contiguous float64 array");
}

bool acquire_strict_uint32(PyObject* object, ArrayArg& arg, std::initializer_list<Py_ssize_t> shape,
                           const char* name) {
  return acquire_strict(object, arg, shape, name, 4, "IL",
                        "%s must be a C-contiguous uint32 array");
}

namespace {

bool acquire_strict(PyObject* object, ArrayArg& arg, std::initializer_list<Py_ssize_t> shape,
                    const char* name, Py_ssize_t item_size, const char* letters,
                    const char* dtype_message) {
  if (!arg.get_buffer(object)) return false;
  const Py_buffer& v = arg.view();
  // No byte-order prefix is accepted here: the format is a bare letter or nothing.
  bool kind_ok = v.itemsize == item_size && v.format != nullptr && std::strlen(v.format) == 1 &&
                 std::strchr(letters, v.format[0]) != nullptr &&
                 v.ndim == static_cast<int>(shape.size());
  if (!kind_ok) return arg.fail(dtype_message, name);
  if (!arg.shape_matches(shape)) return arg.fail("%s has an invalid shape", name);
  return arg.ensure_aligned();
}

}  // namespace
}  // namespace zet
