#pragma once

#include <cstring>
#include <stdexcept>
#include <string>

namespace tarn::store {

// An error of the file system; what() names the operation, the path and the system's reason.
struct FileSystemError : std::runtime_error {
  FileSystemError(const std::string& operation, const std::string& path, int error)
      : std::runtime_error(operation + " " + path + ": " + std::strerror(error)) {}
  using std::runtime_error::runtime_error;
};

}  // namespace tarn::store
