#include "base/base64.hpp"

#include <array>

namespace tarn {
namespace {

constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Every byte outside the alphabet, '=' included, maps to a value with the high bit set.
constexpr std::uint8_t invalid = 0x80;
constexpr std::array<std::uint8_t, 256> values = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(invalid);
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return table;
}();

std::uint8_t value(char c) { return values[static_cast<unsigned char>(c)]; }

}  // namespace

void base64EncodeInto(std::span<const std::uint8_t> bytes, char* out) {
  const std::uint8_t* in = bytes.data();
  for (std::size_t left = bytes.size() / 3; left > 0; --left, in += 3, out += 4) {
    const std::uint32_t group = std::uint32_t{in[0]} << 16 | std::uint32_t{in[1]} << 8 | in[2];
    out[0] = alphabet[group >> 18];
    out[1] = alphabet[(group >> 12) & 63];
    out[2] = alphabet[(group >> 6) & 63];
    out[3] = alphabet[group & 63];
  }
  switch (bytes.size() % 3) {
    case 1:
      out[0] = alphabet[in[0] >> 2];
      out[1] = alphabet[(in[0] & 3) << 4];
      out[2] = out[3] = '=';
      break;
    case 2:
      out[0] = alphabet[in[0] >> 2];
      out[1] = alphabet[(in[0] & 3) << 4 | in[1] >> 4];
      out[2] = alphabet[(in[1] & 15) << 2];
      out[3] = '=';
      break;
  }
}

std::optional<std::size_t> base64DecodedSize(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return 0;
  const std::size_t padding = text.back() != '=' ? 0 : text[text.size() - 2] != '=' ? 1 : 2;
  return text.size() / 4 * 3 - padding;
}

bool base64DecodeInto(std::string_view text, std::uint8_t* out) {
  if (text.empty()) return true;
  const std::size_t padding = text.back() != '=' ? 0 : text[text.size() - 2] != '=' ? 1 : 2;
  // Checked once at the end: a branch per character would cost more than the decoding.
  std::uint8_t seen = 0;
  const char* in = text.data();
  for (std::size_t left = text.size() / 4 - 1; left > 0; --left, in += 4, out += 3) {
    const std::uint8_t a = value(in[0]), b = value(in[1]), c = value(in[2]), d = value(in[3]);
    seen |= a | b | c | d;
    out[0] = static_cast<std::uint8_t>(a << 2 | b >> 4);
    out[1] = static_cast<std::uint8_t>(b << 4 | c >> 2);
    out[2] = static_cast<std::uint8_t>(c << 6 | d);
  }

  const std::uint8_t a = value(in[0]), b = value(in[1]);
  seen |= a | b;
  out[0] = static_cast<std::uint8_t>(a << 2 | b >> 4);
  if (padding == 2) {
    // The bits of the last character that no byte takes must be zero: one text per byte string.
    if ((b & 15) != 0) return false;
  } else {
    const std::uint8_t c = value(in[2]);
    seen |= c;
    out[1] = static_cast<std::uint8_t>(b << 4 | c >> 2);
    if (padding == 1) {
      if ((c & 3) != 0) return false;
    } else {
      const std::uint8_t d = value(in[3]);
      seen |= d;
      out[2] = static_cast<std::uint8_t>(c << 6 | d);
    }
  }
  return (seen & invalid) == 0;
}

}  // namespace tarn
