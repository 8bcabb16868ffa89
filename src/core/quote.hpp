// The quoted form of a string inside reprs: between double quotes, with backslash, quote, tab,
// carriage return, line feed and NUL escaped, and invisible or combining characters (the
// Grapheme_Extend property and the general categories Cc, Cf, Cs, Co, Cn, Zl, Zp, Zs except the
// ASCII space) written as \u{hex}. Everything else, non-ASCII letters included, stays as is.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace palisk {

// `utf8` must be valid UTF-8 (every string that crosses from Python is).
std::string quote(std::string_view utf8);
// ["a", "b"]: each item quoted, comma and space between, in brackets.
std::string quote_list(const std::vector<std::string>& items);
// The first `count` code points of valid UTF-8 (all of it when shorter); never splits one.
std::string_view utf8_prefix(std::string_view utf8, std::size_t count);

}  // namespace palisk
