#pragma once

#include <string>

#include "base/secret.hpp"

namespace tarn::platform {

// The PAM service whose stack decides; a site may add modules to /etc/pam.d/tarn-wemb.
inline constexpr const char* pamService = "tarn-wemb";

// True when PAM accepts `password` for `user` and the account may be used now; false for a
// wrong password. Any other PAM failure throws with PAM's own description.
bool passwordAccepted(const std::string& user, const SecretString& password);

}  // namespace tarn::platform
