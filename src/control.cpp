// Control protocol classes (not yet built).
#include "areas.hpp"

namespace palisk {
int register_control(PyObject*) { return 0; }
}  // namespace palisk
