#pragma once

#include <cstdint>
#include <vector>

#include "platform/key_agreement.hpp"

// Software P-256 from OpenSSL, to check what a secure element computes.
namespace tarn::test::p256 {

// A fresh software key's public point, and the X coordinate of its ECDH point with `peer`.
struct Agreement {
  Point ephemeral;
  std::vector<std::uint8_t> sharedSecret;
};
Agreement agree(const Point& peer);

bool onCurve(const Point& point);

// Whether Y is the smaller of Y and p - Y.
bool compact(const Point& point);

}  // namespace tarn::test::p256
