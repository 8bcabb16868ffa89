// HookType and NativeHookDispatcher (not yet built).
#include "areas.hpp"
#include "py/enums.hpp"

namespace palisk {
int register_hooks(PyObject* module) { return py::hook_type_enum.register_in(module); }
}  // namespace palisk
