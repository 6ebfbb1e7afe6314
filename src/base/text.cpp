#include "base/text.hpp"

#include <utf8proc.h>

#include <cstdint>
#include <cstring>

namespace tarn {
namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

CodePoint decode(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t length = 0;
  char32_t value = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the next byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {0xFFFD, 1, false};
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i == text.size() || byte(i) < low || byte(i) > high) return {0xFFFD, i, false};
    value = (value << 6) | (byte(i) & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return {value, length, true};
}

namespace {

template <typename String>
String replaced(std::string_view text) {
  String out;
  out.reserve(text.size());
  while (!text.empty()) {
    CodePoint point = decode(text);
    out.append(point.valid ? text.substr(0, point.length) : replacement);
    text.remove_prefix(point.length);
  }
  return out;
}

}  // namespace

std::size_t illFormedAt(std::string_view text) {
  constexpr std::uint64_t high = 0x8080808080808080;
  std::size_t at = 0;
  while (at < text.size()) {
    // Texts are mostly ASCII: take it eight bytes at a time and decode only the rest.
    std::uint64_t word;
    if (text.size() - at >= sizeof word) {
      std::memcpy(&word, text.data() + at, sizeof word);
      if ((word & high) == 0) {
        at += sizeof word;
        continue;
      }
    }
    CodePoint point = decode(text.substr(at));
    if (!point.valid) return at;
    at += point.length;
  }
  return std::string_view::npos;
}

SecretString repaired(std::string_view text) { return replaced<SecretString>(text); }

std::string_view graphemes(std::string_view text, std::size_t count) {
  utf8proc_int32_t state = 0;
  utf8proc_int32_t previous = 0;
  std::size_t clusters = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    CodePoint point = decode(text.substr(at));
    auto value = static_cast<utf8proc_int32_t>(point.value);
    if (at == 0 || utf8proc_grapheme_break_stateful(previous, value, &state)) {
      if (clusters == count) break;
      ++clusters;
    }
    previous = value;
    at += point.length;
  }
  return text.substr(0, at);
}

std::string oneLine(std::string_view text, std::size_t count) {
  std::string line(repaired(graphemes(text, count)));
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return line;
}

}  // namespace tarn
