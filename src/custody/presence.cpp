#include "custody/presence.hpp"

#include <string>

#include "base/failure.hpp"
#include "platform/prompt.hpp"

namespace tarn::custody {

platform::Presence confirmPresence(const SecretString& reason) {
  try {
    return platform::askPresence(reason);
  } catch (const platform::PromptUnavailable& missing) {
    throw Failure(std::string("no-authentication: ") + missing.what());
  } catch (const platform::PromptCancelled&) {
    throw Failure("cancelled");
  } catch (...) {
    // Wrong passwords, a module's refusal, a pinentry that fails: the caller learns only no.
    throw Failure("denied");
  }
}

}  // namespace tarn::custody
