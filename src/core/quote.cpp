// The quoted string form used inside reprs.
#include "core/quote.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace palisk {

namespace {

#include "unicode_escape_table.inc"

bool needs_escape(std::uint32_t cp) {
  auto it = std::upper_bound(std::begin(kEscapeRanges), std::end(kEscapeRanges), cp,
                             [](std::uint32_t v, const std::uint32_t(&r)[2]) { return v < r[0]; });
  if (it == std::begin(kEscapeRanges)) return false;
  --it;
  return cp >= (*it)[0] && cp <= (*it)[1];
}

// Decodes one code point of valid UTF-8 at s[i], advancing i.
std::uint32_t next_code_point(std::string_view s, std::size_t& i) {
  auto b = static_cast<unsigned char>(s[i]);
  int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  std::uint32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
  for (int k = 1; k < len && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += static_cast<std::size_t>(len);
  return cp;
}

}  // namespace

std::string quote(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < utf8.size()) {
    std::size_t start = i;
    std::uint32_t cp = next_code_point(utf8, i);
    switch (cp) {
      case '\\': out += "\\\\"; continue;
      case '"': out += "\\\""; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (needs_escape(cp)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
      out += buf;
    } else {
      out.append(utf8.substr(start, i - start));
    }
  }
  out.push_back('"');
  return out;
}

std::string_view utf8_prefix(std::string_view utf8, std::size_t count) {
  std::size_t i = 0;
  for (std::size_t n = 0; n < count && i < utf8.size(); ++n) next_code_point(utf8, i);
  return utf8.substr(0, std::min(i, utf8.size()));
}

std::string quote_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t k = 0; k < items.size(); ++k) {
    if (k) out += ", ";
    out += quote(items[k]);
  }
  out += "]";
  return out;
}

}  // namespace palisk
