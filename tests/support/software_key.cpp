#include "support/software_key.hpp"

namespace tarn::test {

namespace openssl = envelope::openssl;

SoftwareKey::SoftwareKey() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")) {
  if (!key_) openssl::fail("EC key generation failed");
  point_ = openssl::point(key_.get());
}

SoftwareKey::SoftwareKey(std::span<const std::uint8_t, 32> scalar)
    : key_(openssl::keyPair(scalar)), point_(openssl::point(key_.get())) {}

SecretBytes SoftwareKey::sharedSecret(const Point& peer) {
  ++agreements;
  return openssl::sharedSecret(key_.get(), openssl::publicKey(peer).get());
}

}  // namespace tarn::test
