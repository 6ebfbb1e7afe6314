#pragma once

#include <stdexcept>

#include "base/secret.hpp"
#include "platform/presence.hpp"

namespace tarn::platform {

// Nobody can be asked: no pinentry, nowhere to show it, or no account. what() says which.
struct PromptUnavailable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The user cancelled the prompt.
struct PromptCancelled : std::runtime_error {
  PromptCancelled() : std::runtime_error("the prompt was cancelled") {}
};

// Asks the user to prove presence under `reason`. The PAM service "tarn-wemb" decides, and
// pinentry shows what it asks: a password, or a message while a module waits for a finger or a
// touch. Throws PromptUnavailable before showing anything, PromptCancelled when the user
// cancels, and any other exception when PAM refuses the user or the prompt itself fails.
Presence askPresence(const SecretString& reason);

}  // namespace tarn::platform
