// NativeToolRegistry (not yet built).
#include "areas.hpp"

namespace palisk {
int register_tools(PyObject*) { return 0; }
}  // namespace palisk
