#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// Padded standard Base64 on one line.
std::string base64Encode(std::span<const std::uint8_t> bytes);

// Strict: standard alphabet, padding required, no whitespace, canonical trailing bits.
// Nothing when `text` is not such Base64; the empty text gives zero bytes.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

}  // namespace tarn
