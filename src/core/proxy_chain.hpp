// The proxy chain as plain data: an ordered list of proxy configurations and the two checks made
// on it (insert position, non-empty chain). Knows nothing of Python or of locking; the binding
// keeps one behind an async mutex.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace palisk {

struct ProxyConfigData {
  std::string name;
  std::vector<std::string> command;
};

class ProxyChain {
 public:
  void add(ProxyConfigData proxy) { items_.push_back(std::move(proxy)); }
  // Puts `proxy` at position `index`; `index` equal to the length appends. A larger index is a
  // ProxyError and leaves the chain as it was.
  Status<> insert(std::uint64_t index, ProxyConfigData proxy);
  void clear() { items_.clear(); }
  const std::vector<ProxyConfigData>& items() const { return items_; }
  // Validates the chain; nothing is started.
  Status<> build() const;

 private:
  std::vector<ProxyConfigData> items_;
};

}  // namespace palisk
