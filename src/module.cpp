// The module entry: creates `_palisk_sdk`, sets __version__, runs each area's registration step
// in the fixed order. Any failure aborts the import with that step's exception.
#include "areas.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_palisk_sdk",
    "The native extension module, importable as `palisk_sdk._palisk_sdk`.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__palisk_sdk() {
  using namespace palisk;
  PyObject* m = PyModule_Create(&module_def);
  if (!m) return nullptr;
  if (PyModule_AddStringConstant(m, "__version__", "0.1.0") < 0 || register_types(m) < 0 ||
      register_control(m) < 0 || register_client(m) < 0 || register_tools(m) < 0 || register_hooks(m) < 0 ||
      register_proxy(m) < 0 || register_testing(m) < 0 || py::install_exit_guard() < 0) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
