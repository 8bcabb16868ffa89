// Shared value classes and enumerations.
#include "areas.hpp"
#include "py/enums.hpp"

namespace palisk {

int register_types(PyObject* module) {
  // Placeholder order until the value classes land: only the enumerations exist so far.
  if (py::message_role_enum.register_in(module) < 0) return -1;
  if (py::content_type_enum.register_in(module) < 0) return -1;
  if (py::update_kind_enum.register_in(module) < 0) return -1;
  return 0;
}

}  // namespace palisk
