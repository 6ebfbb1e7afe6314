#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "base/secret.hpp"

namespace tarn::service {

inline constexpr std::size_t secretSize = 32;

// The service secret: what makes a key's auth value unguessable to anyone but this service.
class ServiceSecret {
 public:
  // <state>/secret, exactly 32 bytes; Failure "the custody service has no secret: ..." otherwise.
  static ServiceSecret read();

  // First 8 bytes of HMAC-SHA256(secret, "tarn-wemb secret id v1"): names the secret in key files.
  std::array<std::uint8_t, 8> id() const;

  // HMAC-SHA256(secret, "tarn-wemb auth v1" || uid, big-endian || salt), trailing zero bytes
  // trimmed as the TPM trims them.
  SecretBytes authValue(uid_t uid, std::span<const std::uint8_t, 32> salt) const;

 private:
  explicit ServiceSecret(SecretBytes bytes) : bytes_(std::move(bytes)) {}

  SecretBytes bytes_;
};

// Makes <state>/secret from 32 random bytes unless it is there; never replaces one. The state
// directory is made (0700) if it is missing.
void makeSecret();

}  // namespace tarn::service
