// Display texts and class names of the error kinds.
#include "core/error.hpp"

namespace palisk {

namespace {
struct KindInfo {
  const char* class_name;
  const char* prefix;
};
constexpr KindInfo kKinds[kErrorKindCount] = {
    {"ConnectionError", "connection error: "},
    {"SessionError", "session error: "},
    {"TransportError", "transport error: "},
    {"ProtocolError", "protocol error: "},
    {"ToolError", "tool error: "},
    {"HookError", "hook error: "},
    {"ProxyError", "proxy error: "},
    {"TimeoutError", "timeout: "},
    {"PermissionError", "permission denied: "},
    {"CancelledError", ""},
    {"PaliskError", ""},
};
}  // namespace

const char* PaliskError::class_name(ErrorKind kind) {
  return kKinds[static_cast<int>(kind)].class_name;
}

std::string PaliskError::display() const {
  if (kind_ == ErrorKind::Cancelled) return "cancelled";
  return kKinds[static_cast<int>(kind_)].prefix + message_;
}

}  // namespace palisk
