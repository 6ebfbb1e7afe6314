#pragma once

#include <cstddef>
#include <string_view>

#include "service/peer.hpp"

namespace tarn::service {

// One verdict to the system log (authpriv), as sudo logs its decisions: who, what was asked, how
// many items, how it ended, and the program the command says asks. Never a text, a reason or a
// secret.
void record(const Peer& peer, std::string_view call, std::size_t items, std::string_view outcome,
            std::string_view asker = {});

}  // namespace tarn::service
