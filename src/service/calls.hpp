#pragma once

#include <optional>

#include "base/secret.hpp"
#include "service/peer.hpp"
#include "wire/wire.hpp"

namespace tarn::service {

// The answer to the command's call, or nothing when the command went away and is owed nothing.
// Throws for a refusal, whose what() the command is told.
std::optional<SecretString> answer(wire::Link& link, const Peer& peer, const wire::Message& call);

}  // namespace tarn::service
