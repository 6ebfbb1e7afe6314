#include "store/key_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "base/io.hpp"
#include "store/error.hpp"

namespace tarn::store {
namespace {

// Far above any TPM key blob; a larger file is handed on cut, and the TPM refuses it.
constexpr std::size_t maxKeyFile = 1 << 20;

// A new, empty file of ours beside `name`, opened for writing; its name goes into `temporary`.
Descriptor createTemporary(int dir, const std::string& name, const std::string& path,
                           std::string& temporary) {
  constexpr std::string_view letters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[8];
    if (::getrandom(random, sizeof random, 0) != sizeof random) break;
    temporary = "." + name + ".";
    for (unsigned char byte : random) temporary += letters[byte % letters.size()];
    Descriptor fd(::openat(dir, temporary.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd || errno != EEXIST) return fd;
  }
  throw FileSystemError("cannot write", path, errno);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> readKeyFile(int dir, const std::string& name,
                                                     const std::string& path) {
  // non-blocking: a FIFO in the file's place must not hold the run up before it is refused
  Descriptor fd(::openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  // the opened file itself is judged, so a name swapped after the check gains nothing
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
  const std::string refusing = "refusing key file " + path + ": ";
  if (!S_ISREG(st.st_mode)) throw FileSystemError(refusing + "not a regular file");
  if (st.st_uid != ::geteuid()) throw FileSystemError(refusing + "owned by another user");
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    throw FileSystemError(refusing + "writable by group or others");
  }
  std::vector<std::uint8_t> bytes;
  std::uint8_t buffer[4096];
  while (bytes.size() < maxKeyFile) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  return bytes;
}

bool writeKeyFile(int dir, const std::string& name, const std::string& path,
                  std::span<const std::uint8_t> bytes) {
  std::string temporary;
  Descriptor fd = createTemporary(dir, name, path, temporary);
  if (!fd) throw FileSystemError("cannot write", path, errno);
  // From here on the temporary name goes, whatever happens.
  auto removeTemporary = [dir](std::string* name) { ::unlinkat(dir, name->c_str(), 0); };
  std::unique_ptr<std::string, decltype(removeTemporary)> cleanup(&temporary, removeTemporary);

  if (::fchmod(fd.get(), 0600) != 0) throw FileSystemError("cannot protect", path, errno);
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!writeAll(fd.get(), text)) throw FileSystemError("cannot write", path, errno);
  if (::fsync(fd.get()) != 0) throw FileSystemError("cannot write", path, errno);
  if (::close(fd.release()) != 0) throw FileSystemError("cannot write", path, errno);
  // link, unlike rename, fails when the name exists: an existing key file is never replaced.
  if (::linkat(dir, temporary.c_str(), dir, name.c_str(), 0) != 0) {
    if (errno == EEXIST) return false;
    throw FileSystemError("cannot write", path, errno);
  }
  cleanup.reset();
  // the new name lasts once the directory is on disk; the key is there and usable either way.
  // `dir` may be O_PATH, which takes no fsync: the directory itself is opened for it.
  if (Descriptor synced(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)); synced) {
    ::fsync(synced.get());
  }
  return true;
}

}  // namespace tarn::store
