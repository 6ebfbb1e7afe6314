#pragma once

#include <string>

namespace tarn::service {

// Where the service secret lives: $STATE_DIRECTORY (its first entry) or /var/lib/tarn-wemb.
std::string stateDirectory();

// Where the per-uid slots live: $RUNTIME_DIRECTORY (its first entry) or /run/tarn-wemb.
std::string runtimeDirectory();

}  // namespace tarn::service
