#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "store/directory.hpp"

namespace tarn::store {

// An opened store directory. Every later step is taken relative to it, so nothing is found by
// name twice and no directory swapped in meanwhile is ever used.
class Store {
 public:
  // The store at `path` ("" is the working directory). Every directory from the root down must
  // be the caller's or root's and writable by nobody else unless sticky (FileSystemError
  // "refusing store directory DIR: ..."). Missing: nothing, or with `create` made with its
  // parents (0700) and the store itself judged at once.
  static std::optional<Store> open(const std::string& path, bool create);

  // Whether an entry named "klucz.se" of any kind is in the store at `path`; looks only.
  static bool holdsKey(const std::string& path);

  // The key file's bytes, or nothing when it cannot be read; a key file, then the store, that
  // others could change is refused with FileSystemError.
  std::optional<std::vector<std::uint8_t>> readKey() const;

  // Writes the key file unless one exists already (then false); never a partial one.
  bool writeKey(std::span<const std::uint8_t> bytes) const;

  const std::string& path() const { return directory_.name; }
  std::string keyPath() const { return join(directory_.name, keyFileName); }

 private:
  explicit Store(OpenDirectory directory) : directory_(std::move(directory)) {}

  OpenDirectory directory_;
};

}  // namespace tarn::store
