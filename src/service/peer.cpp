#include "service/peer.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>

#include "base/account.hpp"
#include "base/failure.hpp"
#include "base/io.hpp"
#include "service/directories.hpp"

namespace tarn::service {
namespace {

constexpr int slots = 4;
// At most this many keys a minute per account: far above what stores are made at, well below what
// would keep the TPM from everyone else.
constexpr int keysPerMinute = 120;
constexpr const char* group = "tarn-wemb";

// The lock file `name` in the runtime directory's "uids" folder, made root's alone on first use.
Descriptor lockFile(const std::string& name) {
  const std::string dir = runtimeDirectory() + "/uids";
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::system_error(errno, std::generic_category(), dir);
  }
  const std::string path = dir + "/" + name;
  Descriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) throw std::system_error(errno, std::generic_category(), path);
  return fd;
}

}  // namespace

Peer Peer::of(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
    throw std::system_error(errno, std::generic_category(), "SO_PEERCRED");
  }
  auto account = accountOf(credentials.uid);
  if (!account) throw Failure("the custody service serves only accounts of this machine");
  Peer peer;
  peer.uid = credentials.uid;
  peer.gid = credentials.gid;
  peer.name = std::move(account->name);
  const ::group* entry = ::getgrnam(group);
  peer.command = entry != nullptr && entry->gr_gid == credentials.gid;
  return peer;
}

Descriptor takeSlot(uid_t uid) {
  for (int n = 0; n < slots; ++n) {
    Descriptor fd = lockFile(std::to_string(uid) + "." + std::to_string(n));
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return fd;
  }
  return Descriptor();
}

void limitKeyCreation(uid_t uid) {
  Descriptor fd = lockFile(std::to_string(uid) + ".keys");
  if (::flock(fd.get(), LOCK_EX) != 0)
    throw std::system_error(errno, std::generic_category(), "flock");
  // The file holds the minute and how many keys were made in it.
  const long minute = std::chrono::duration_cast<std::chrono::minutes>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  long seen = 0, made = 0;
  char text[64] = {};
  if (ssize_t n = ::pread(fd.get(), text, sizeof text - 1, 0); n > 0) {
    std::sscanf(text, "%ld %ld", &seen, &made);
  }
  if (seen != minute) made = 0;
  if (made >= keysPerMinute) throw Failure("busy");
  const std::string updated = std::to_string(minute) + " " + std::to_string(made + 1) + "\n";
  if (::ftruncate(fd.get(), 0) != 0 || ::pwrite(fd.get(), updated.data(), updated.size(), 0) !=
                                           static_cast<ssize_t>(updated.size())) {
    throw std::system_error(errno, std::generic_category(), "the key count");
  }
}

}  // namespace tarn::service
