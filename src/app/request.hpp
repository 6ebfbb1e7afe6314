#pragma once

#include <string>
#include <string_view>

#include "channel/channel.hpp"

namespace tarn::app {

inline constexpr std::string_view defaultReason = "Tarn Studio";
inline constexpr std::size_t maxReason = 150;  // user-perceived characters

// The value of `key` in the request, or null when it is absent.
const channel::Json* lookup(const channel::Json& request, std::string_view key);

// The prompt's reason: "reason" when it is a string, else the default; cut to 150 characters.
SecretString reason(const channel::Json& request);

}  // namespace tarn::app
