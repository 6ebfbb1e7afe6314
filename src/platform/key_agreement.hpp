#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "base/point.hpp"
#include "base/secret.hpp"

namespace tarn::platform {

// The private half of a P-256 key-agreement key, wherever it lives.
class KeyAgreement {
 public:
  virtual ~KeyAgreement() = default;

  virtual const Point& publicKey() const = 0;

  // The 32-byte X coordinate of the ECDH point with `peer`. Throws the platform's error.
  virtual SecretBytes sharedSecret(const Point& peer) = 0;
};

}  // namespace tarn::platform
