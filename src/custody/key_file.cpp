#include "custody/key_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "base/io.hpp"

namespace tarn::custody {
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
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
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

void writeKeyFile(const std::string& path, std::span<const std::uint8_t> bytes) {
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
  if (::link(temporary.c_str(), path.c_str()) != 0)
    throw FileSystemError("cannot write", path, errno);
  cleanup.reset();
  syncDirectory(dir);
  if (::chmod(path.c_str(), 0600) != 0) throw FileSystemError("cannot protect", path, errno);
}

}  // namespace tarn::custody
