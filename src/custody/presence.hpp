#pragma once

#include "base/secret.hpp"
#include "platform/presence.hpp"

namespace tarn::custody {

// Asks the user to prove presence under `reason`. Returns the proof, or throws Failure
// "no-authentication: <what is missing>", "cancelled" or "denied".
platform::Presence confirmPresence(const SecretString& reason);

}  // namespace tarn::custody
