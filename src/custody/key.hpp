#pragma once

#include <string>

#include "platform/key_agreement.hpp"
#include "platform/secure_element.hpp"

namespace tarn::custody {

// Every private-key operation of the key needs the user's presence, shown to an AuthContext.
platform::AccessControl access();

// The public half of the enclave key: loaded from `keyFile`, or, when that cannot be read,
// a new key made in `element` and written to `keyFile` inside `directory`.
Point publicKey(platform::SecureElement& element, const std::string& directory,
                          const std::string& keyFile);

}  // namespace tarn::custody
