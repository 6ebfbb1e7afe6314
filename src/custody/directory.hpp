#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarn::custody {

inline constexpr std::string_view keyFileName = "klucz.se";
inline constexpr std::string_view defaultStore = "Library/Application Support/Tarn Studio/wemb";

// The store directory: the argument after the first "--dir", else the default under home.
// Looks at nothing but the arguments and the account; never fails.
std::string directory(const std::vector<std::string>& arguments);

// `dir` joined with `name` by exactly one slash; the empty directory is the current one.
std::string join(const std::string& dir, std::string_view name);

// HOME when set and not empty, else the account's home directory.
std::string homeDirectory();

}  // namespace tarn::custody
