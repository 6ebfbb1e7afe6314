#include "store/key_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "base/io.hpp"

namespace tarn::store {
namespace {

// Far above any TPM key blob; a larger file is handed on cut, and the TPM refuses it.
constexpr std::size_t maxKeyFile = 1 << 20;

std::string parentOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void syncDirectory(const std::string& dir) {
  Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
}

}  // namespace

FileSystemError::FileSystemError(const std::string& operation, const std::string& path, int error)
    : std::runtime_error(operation + " " + path + ": " + std::strerror(error)) {}

std::optional<std::vector<std::uint8_t>> readKeyFile(const std::string& path) {
  // non-blocking: a FIFO in the file's place must not hold the run up before it is refused
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
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

void checkStoreDirectory(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return;
  const std::string refusing = "refusing store directory " + dir + ": ";
  if (st.st_uid != ::geteuid() && st.st_uid != 0) {
    throw FileSystemError(refusing + "owned by another user");
  }
  // sticky, as /tmp is: others may add names but not take or replace ours
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
    throw FileSystemError(refusing + "writable by group or others");
  }
}

void createDirectories(const std::string& dir) {
  std::string path;
  std::size_t start = 0;
  while (start <= dir.size()) {
    std::size_t slash = dir.find('/', start);
    std::size_t end = slash == std::string::npos ? dir.size() : slash;
    path = dir.substr(0, end);
    start = end + 1;
    if (path.empty() || path.back() == '/') continue;
    if (::mkdir(path.c_str(), 0700) == 0) {
      // the umask may have taken bits away; the directory is the owner's alone either way
      if (::chmod(path.c_str(), 0700) != 0) throw FileSystemError("cannot protect", path, errno);
      continue;
    }
    int error = errno;
    struct stat st;
    if (error == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    throw FileSystemError("cannot create directory", path, error == EEXIST ? ENOTDIR : error);
  }
}

bool writeKeyFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::string dir = parentOf(path);
  std::string temporary = dir + "/.klucz.se.XXXXXX";
  Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) throw FileSystemError("cannot write", path, errno);
  // From here on the temporary name goes, whatever happens.
  auto removeTemporary = [&temporary](void*) { ::unlink(temporary.c_str()); };
  std::unique_ptr<void, decltype(removeTemporary)> cleanup(&temporary, removeTemporary);

  if (::fchmod(fd.get(), 0600) != 0) throw FileSystemError("cannot protect", temporary, errno);
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!writeAll(fd.get(), text)) throw FileSystemError("cannot write", temporary, errno);
  if (::fsync(fd.get()) != 0) throw FileSystemError("cannot write", temporary, errno);
  if (::close(fd.release()) != 0) throw FileSystemError("cannot write", temporary, errno);
  // link, unlike rename, fails when the name exists: an existing key file is never replaced.
  if (::link(temporary.c_str(), path.c_str()) != 0) {
    if (errno == EEXIST) return false;
    throw FileSystemError("cannot write", path, errno);
  }
  cleanup.reset();
  syncDirectory(dir);
  return true;
}

}  // namespace tarn::store
