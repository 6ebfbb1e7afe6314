#pragma once

#include <string_view>

#include "base/secret.hpp"
#include "channel/channel.hpp"

namespace tarn::app {

inline constexpr std::string_view defaultReason = "Tarn Studio";
inline constexpr std::size_t maxReason = 150;  // user-perceived characters

// The prompt's reason: "reason" when it is a string, else the default; cut to maxReason.
SecretString reason(const channel::Request& request);

}  // namespace tarn::app
