// Edits and checks of the proxy chain.
#include "core/proxy_chain.hpp"

namespace palisk {

Status<> ProxyChain::insert(std::uint64_t index, ProxyConfigData proxy) {
  if (index > items_.size()) {
    return PaliskError(ErrorKind::Proxy, "index " + std::to_string(index) + " out of range (chain length: " +
                                             std::to_string(items_.size()) + ")");
  }
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(index), std::move(proxy));
  return ok();
}

Status<> ProxyChain::build() const {
  if (items_.empty()) return PaliskError(ErrorKind::Proxy, "proxy chain is empty");
  return ok();
}

}  // namespace palisk
