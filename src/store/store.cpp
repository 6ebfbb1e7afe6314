#include "store/store.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include "store/key_file.hpp"

namespace tarn::store {

std::optional<Store> Store::open(const std::string& path, bool create) {
  auto directory = openDirectory(path, create);
  if (!directory) return std::nullopt;
  if (create) checkDirectory(directory->st, directory->name);
  return Store(std::move(*directory));
}

bool Store::holdsKey(const std::string& path) {
  struct stat st;
  return ::fstatat(AT_FDCWD, join(path, keyFileName).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::optional<std::vector<std::uint8_t>> Store::readKey() const {
  // the file is judged before its directory, as ssh judges authorized_keys
  auto bytes = readKeyFile(directory_.fd.get(), std::string(keyFileName), keyPath());
  if (bytes) checkDirectory(directory_.st, directory_.name);
  return bytes;
}

bool Store::writeKey(std::span<const std::uint8_t> bytes) const {
  checkDirectory(directory_.st, directory_.name);
  return writeKeyFile(directory_.fd.get(), std::string(keyFileName), keyPath(), bytes);
}

}  // namespace tarn::store
