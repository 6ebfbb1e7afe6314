#pragma once

#include <memory>
#include <string>

#include "platform/auth_context.hpp"

namespace tarn::custody {

// Asks the user to prove presence under `reason`; the evaluated context, or Failure
// "no-authentication: ...", "cancelled" or "denied".
std::unique_ptr<platform::AuthContext> authenticate(const std::string& reason);

// The same with a given fresh context.
std::unique_ptr<platform::AuthContext> authenticate(const std::string& reason,
                                                    std::unique_ptr<platform::AuthContext> context);

}  // namespace tarn::custody
