// The quoted form of a string inside reprs: between double quotes, with backslash, quote, tab,
// carriage return, line feed and NUL escaped, and invisible or combining characters (the
// Grapheme_Extend property and the general categories Cc, Cf, Cs, Co, Cn, Zl, Zp, Zs except the
// ASCII space) written as \u{hex}. Everything else, non-ASCII letters included, stays as is.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace palisk {

// `utf8` must be valid UTF-8 (every string that crosses from Python is).
std::string quote(std::string_view utf8);
// ["a", "b"]: each item quoted, comma and space between, in brackets.
std::string quote_list(const std::vector<std::string>& items);

}  // namespace palisk
