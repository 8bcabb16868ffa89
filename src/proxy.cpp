// ProxyConfig and NativeProxyChain (not yet built).
#include "areas.hpp"

namespace palisk {
int register_proxy(PyObject*) { return 0; }
}  // namespace palisk
