#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/point.hpp"
#include "base/secret.hpp"
#include "platform/presence.hpp"
#include "platform/tpm.hpp"

namespace tarn::custody {

// The public half of the key: the one in the store `directory`, or, when there is none, a new
// key made in the TPM and written there.
Point publicKey(const std::string& directory);

// The stored key's bytes; Failure "no-key" when the key file cannot be read.
std::vector<std::uint8_t> storedKey(const std::string& directory);

// The stored key loaded into the TPM, ready to agree once the user has shown presence.
class Key {
 public:
  // TPM errors, and a key this TPM cannot load, surface here: before anyone is asked.
  explicit Key(const std::vector<std::uint8_t>& stored);

  const Point& publicKey() const { return key_.publicKey(); }

  // The ECDH shared secret with `peer`.
  SecretBytes sharedSecret(const Point& peer, const platform::Presence& presence) {
    return key_.sharedSecret(peer, presence);
  }

 private:
  platform::Tpm tpm_;
  platform::TpmKey key_;
};

}  // namespace tarn::custody
