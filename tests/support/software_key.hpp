#pragma once

#include <cstdint>
#include <span>

#include "envelope/openssl.hpp"
#include "platform/key_agreement.hpp"

namespace tarn::test {

// A P-256 key-agreement key held by OpenSSL in this process: the stand-in for the TPM's key.
class SoftwareKey : public platform::KeyAgreement {
 public:
  // A fresh random key.
  SoftwareKey();
  // The key with this private scalar (32 bytes, big-endian).
  explicit SoftwareKey(std::span<const std::uint8_t, 32> scalar);

  const Point& publicKey() const override { return point_; }
  SecretBytes sharedSecret(const Point& peer) override;

  // How many key agreements were asked for.
  int agreements = 0;

 private:
  envelope::openssl::Pkey key_;
  Point point_{};
};

}  // namespace tarn::test
