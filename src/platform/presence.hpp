#pragma once

#include "base/secret.hpp"

namespace tarn::platform {

// Proof that the user was asked and answered. Only the prompt (platform/prompt.hpp) makes one,
// so a key operation that takes a Presence cannot run before the user has proven it.
class Presence {
 public:
  Presence(const Presence&) = delete;
  Presence& operator=(const Presence&) = delete;

 private:
  Presence() = default;
  friend Presence askPresence(const SecretString& reason);
};

}  // namespace tarn::platform
