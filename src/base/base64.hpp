#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// Writes the (size + 2) / 3 * 4 characters of `bytes` in Base64 to `out`.
void base64EncodeInto(std::span<const std::uint8_t> bytes, char* out);
// How many bytes `text` decodes to, or nothing when its length cannot be Base64.
std::optional<std::size_t> base64DecodedSize(std::string_view text);
// Decodes `text`, of a length base64DecodedSize() took, into `out`; false when it is not strict.
bool base64DecodeInto(std::string_view text, std::uint8_t* out);

// Padded standard Base64 on one line, in a string of the caller's kind: a wiping one for secrets.
template <typename Text = std::string>
Text base64Encode(std::span<const std::uint8_t> bytes) {
  Text text((bytes.size() + 2) / 3 * 4, '=');
  base64EncodeInto(bytes, text.data());
  return text;
}

// Strict: standard alphabet, padding required, no whitespace, canonical trailing bits.
// Nothing when `text` is not such Base64; the empty text gives zero bytes.
template <typename Bytes = std::vector<std::uint8_t>>
std::optional<Bytes> base64Decode(std::string_view text) {
  auto size = base64DecodedSize(text);
  if (!size) return std::nullopt;
  Bytes bytes(*size);
  if (!base64DecodeInto(text, bytes.data())) return std::nullopt;
  return bytes;
}

}  // namespace tarn
