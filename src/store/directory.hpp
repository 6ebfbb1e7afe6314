#pragma once

#include <string>
#include <string_view>

namespace tarn::store {

inline constexpr std::string_view keyFileName = "klucz.se";
inline constexpr std::string_view defaultStore = "Library/Application Support/Tarn Studio/wemb";

// The store directory when none is named: the default under home. Looks at nothing but the
// environment and the account; never fails.
std::string defaultDirectory();

// `dir` joined with `name` by exactly one slash; the empty directory is the current one.
std::string join(const std::string& dir, std::string_view name);

}  // namespace tarn::store
