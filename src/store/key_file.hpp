#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn::store {

// An error of the file system; what() names the operation, the path and the system's reason.
struct FileSystemError : std::runtime_error {
  FileSystemError(const std::string& operation, const std::string& path, int error);
  using std::runtime_error::runtime_error;
};

// The whole key file, or nothing when it cannot be opened or read (absent, no permission, a
// directory). Trusted only as ssh trusts its files: a regular file of the caller's that nobody
// else may write; otherwise FileSystemError "refusing key file PATH: ...".
std::optional<std::vector<std::uint8_t>> readKeyFile(const std::string& path);

// Refuses, with FileSystemError "refusing store directory DIR: ...", a store directory that
// someone other than the caller or root could change. A directory not there yet passes: it
// will be made the caller's.
void checkStoreDirectory(const std::string& dir);

// `dir` and every missing parent, each made with mode 0700; existing ones are left as they are.
void createDirectories(const std::string& dir);

// Writes `bytes` as the new file `path` without ever replacing an existing one, and without a
// partial file under that name even if the process dies half-way. False when the name was taken.
bool writeKeyFile(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace tarn::store
