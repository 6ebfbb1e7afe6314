#pragma once

#include <optional>
#include <string>

namespace tarn::prompt {

// The first "pinentry" on PATH (absolute entries only; PATH unset or empty: the system's
// default path) that only root can change: every directory on the way to it, through every
// symbolic link, is root's and writable by root alone (sticky is not enough: others may add
// names), and the file at the end is root's, writable by root alone, and executable. Its real
// path, so that what runs is what was judged; nothing when no entry qualifies.
std::optional<std::string> pinentryProgram();

}  // namespace tarn::prompt
