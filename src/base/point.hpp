#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

namespace tarn {

// A P-256 point in its 65-byte uncompressed X9.63 form: 0x04, X, Y.
using Point = std::array<std::uint8_t, 65>;

// Whether a point with this Y (big-endian) is compact: Y is the smaller of Y and p − Y, that is
// Y <= (p − 1) / 2 for the P-256 prime p.
inline bool compactY(std::span<const std::uint8_t, 32> y) {
  static constexpr std::array<std::uint8_t, 32> halfPrime = {
      0x7f, 0xff, 0xff, 0xff, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7f, 0xff,
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  return !std::ranges::lexicographical_compare(halfPrime, y);
}

}  // namespace tarn
