#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarn::store {

// The whole key file `name` inside the open directory `dir`, or nothing when it cannot be
// opened or read (absent, no permission, a directory). Trusted only as ssh trusts its files: a
// regular file of the caller's that nobody else may write; otherwise FileSystemError
// "refusing key file PATH: ...". `path` is how messages show the file.
std::optional<std::vector<std::uint8_t>> readKeyFile(int dir, const std::string& name,
                                                     const std::string& path);

// Writes `bytes` as the new file `name` inside `dir` without ever replacing an existing one, and
// without a partial file under that name even if the process dies half-way. False when the
// name was taken. `path` is how messages show the file.
bool writeKeyFile(int dir, const std::string& name, const std::string& path,
                  std::span<const std::uint8_t> bytes);

}  // namespace tarn::store
