#pragma once

#include <string>

#include "custody/authenticate.hpp"
#include "platform/presence.hpp"

namespace tarn::custody {

// Asks the user under `reason`: proof of presence, or Failure "no-authentication: ...",
// "cancelled" or "denied".
inline platform::Presence confirmPresence(const std::string& reason) {
  return platform::Presence(authenticate(reason));
}

}  // namespace tarn::custody
