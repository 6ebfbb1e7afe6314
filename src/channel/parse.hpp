#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace tarn::channel {

// A request that is not JSON. The description gives where and why, never the request's text.
struct ParseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What commands read of a request; the views point into the parsed text.
struct Parsed {
  bool array = false;  // the top level is an array
  std::vector<std::string_view> items;
  bool itemsUsable = false;  // "items" is an array of at most maxItems strings
  std::optional<std::string_view> reason;
};

// Zero bytes that must follow the text: the reader ends at the first and looks ahead sixteen
// bytes at a time.
inline constexpr std::size_t padding = 16;

// Reads `size` bytes of JSON at `text`, followed by `padding` zero bytes, strictly and decodes its
// strings in place: RFC 8259, UTF-8 only, an optional leading byte-order mark, the first of
// duplicate keys wins, at most maxDepth levels. Throws ParseError when it is not JSON or is a bare
// scalar.
Parsed parse(char* text, std::size_t size);

}  // namespace tarn::channel
