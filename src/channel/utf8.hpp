#pragma once

#include <cstddef>
#include <string_view>

namespace tarn::channel {

struct CodePoint {
  char32_t value;
  std::size_t length;  // in bytes
  bool valid;
};

// The code point that `text` (not empty) begins with. An ill-formed sequence stands for U+FFFD
// over its maximal subpart, the replacement the Unicode standard recommends.
CodePoint decode(std::string_view text);

}  // namespace tarn::channel
