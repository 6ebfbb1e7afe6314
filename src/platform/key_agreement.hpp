#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "base/secret.hpp"

namespace tarn::platform {

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

// The private half of a P-256 key-agreement key, wherever it lives.
class KeyAgreement {
 public:
  virtual ~KeyAgreement() = default;

  virtual const Point& publicKey() const = 0;

  // The 32-byte X coordinate of the ECDH point with `peer`. Throws the platform's error.
  virtual SecretBytes sharedSecret(const Point& peer) = 0;
};

}  // namespace tarn::platform
