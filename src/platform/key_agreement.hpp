#pragma once

#include <array>
#include <cstdint>

#include "platform/secret.hpp"

namespace tarn::platform {

// A P-256 point in its 65-byte uncompressed X9.63 form: 0x04, X, Y.
using Point = std::array<std::uint8_t, 65>;

// The private half of a P-256 key-agreement key, wherever it lives.
class KeyAgreement {
 public:
  virtual ~KeyAgreement() = default;

  virtual const Point& publicKey() const = 0;

  // The 32-byte X coordinate of the ECDH point with `peer`. Throws the platform's error.
  virtual SecretBytes sharedSecret(const Point& peer) = 0;
};

}  // namespace tarn::platform
