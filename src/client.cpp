// NativeClient (not yet built).
#include "areas.hpp"

namespace palisk {
int register_client(PyObject*) { return 0; }
}  // namespace palisk
