#pragma once

#include <string>

#include "base/secret.hpp"
#include "custody/authenticate.hpp"
#include "platform/presence.hpp"

namespace tarn::custody {

// Asks the user under `reason`: proof of presence, or Failure "no-authentication: ...",
// "cancelled" or "denied".
inline platform::Presence confirmPresence(const SecretString& reason) {
  return platform::Presence(authenticate(std::string(reason)));
}

}  // namespace tarn::custody
