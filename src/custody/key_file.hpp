#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn::custody {

// An error of the file system; what() names the operation, the path and the system's reason.
struct FileSystemError : std::runtime_error {
  FileSystemError(const std::string& operation, const std::string& path, int error);
};

// The whole key file, or nothing when it cannot be read for any reason.
std::optional<std::vector<std::uint8_t>> readKeyFile(const std::string& path);

// `dir` and every missing parent, each made with mode 0700; existing ones are left as they are.
void createDirectories(const std::string& dir);

// Writes `bytes` as the new file `path` without ever replacing an existing one, and without a
// partial file under that name even if the process dies half-way.
void writeKeyFile(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace tarn::custody
