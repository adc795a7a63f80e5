#include "module/module_type.h"

#include "runtime/cpu_lanes.h"

namespace zet {
namespace {

// Which vector build of the lane kernels this process runs, as callers and benchmark
// reports name it. Fixed for the life of the process (ZET_NATIVE_LANES is read once).
const char* vector_build_name() {
  switch (widest_lanes()) {
    case 8:
      return "8 lanes (AVX-512F)";
    case 4:
      return "4 lanes (AVX2)";
    default:
      return "scalar";
  }
}

PyObject* get_vector_build(PyObject*, void*) { return PyUnicode_FromString(vector_build_name()); }

PyGetSetDef read_only_attributes[] = {
    {"vector_build", get_vector_build, nullptr,
     "Vector build of the lane kernels in use: \"scalar\", \"4 lanes (AVX2)\" or "
     "\"8 lanes (AVX-512F)\".",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A subclass of the module type whose only addition is the data descriptors above: they
// take precedence over the module dictionary, so assigning or deleting them fails.
PyTypeObject module_type = [] {
  PyTypeObject type{};
  Py_SET_REFCNT(&type, 1);
  type.tp_name = "_zet_native.NativeModule";
  type.tp_doc = "The _zet_native module, with read-only build attributes.";
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_getset = read_only_attributes;
  return type;
}();

}  // namespace

bool attach_read_only_attributes(PyObject* module) {
  if (module_type.tp_base == nullptr) {
    module_type.tp_base = &PyModule_Type;
    if (PyType_Ready(&module_type) < 0) return false;
  }
  Py_SET_TYPE(module, &module_type);
  return PyModule_AddStringConstant(module, "vector_build", vector_build_name()) == 0;
}

}  // namespace zet
