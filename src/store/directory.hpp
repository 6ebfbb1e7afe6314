#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

#include "base/io.hpp"

namespace tarn::store {

inline constexpr std::string_view keyFileName = "klucz.se";
inline constexpr std::string_view defaultStore = "Library/Application Support/Tarn Studio/wemb";

// The store directory when none is named: the default under home. Looks at nothing but the
// environment and the account; never fails.
std::string defaultDirectory();

// `dir` joined with `name` by exactly one slash; the empty directory is the current one.
std::string join(const std::string& dir, std::string_view name);

// An opened directory, what fstat said of it, and the name errors show it by.
struct OpenDirectory {
  Descriptor fd;
  struct stat st;
  std::string name;
};

// Refuses, as ssh refuses the directories above authorized_keys, a directory someone other than
// the caller or root could change: FileSystemError "refusing store directory NAME: ...".
void checkDirectory(const struct stat& st, const std::string& name);

// `path` ("" is the working directory) opened one component at a time from the root or the
// working directory, each directory above it judged by checkDirectory on the way down; the
// directory itself is left for its user to judge. A symbolic link is followed only when the
// caller or root owns it. Nothing when a component is missing or cannot be opened; with
// `create`, missing components are made (0700) and any failure is a FileSystemError.
std::optional<OpenDirectory> openDirectory(const std::string& path, bool create);

}  // namespace tarn::store
