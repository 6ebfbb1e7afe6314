#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/secret.hpp"

namespace tarn {

struct CodePoint {
  char32_t value;
  std::size_t length;  // in bytes
  bool valid;
};

// The code point that `text` (not empty) begins with. An ill-formed sequence stands for U+FFFD
// over its maximal subpart, the replacement the Unicode standard recommends.
CodePoint decode(std::string_view text);

// Where the first ill-formed sequence of `text` begins, or npos when it is well-formed UTF-8:
// shortest forms, no surrogates, nothing past U+10FFFF.
std::size_t illFormedAt(std::string_view text);

// Whether `text` is well-formed UTF-8.
inline bool isUtf8(std::string_view text) { return illFormedAt(text) == std::string_view::npos; }

// `text` with every ill-formed sequence replaced by U+FFFD, in wiping memory.
SecretString repaired(std::string_view text);

// The first `count` extended grapheme clusters of `text`. Ill-formed bytes break clusters the way
// their U+FFFD would.
std::string_view graphemes(std::string_view text, std::size_t count);

// The first `count` clusters of `text`, repaired, each control character as '?': a name shown or
// logged on a line of its own, which can draw no line of its choosing.
std::string oneLine(std::string_view text, std::size_t count);

}  // namespace tarn
