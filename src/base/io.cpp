#include "base/io.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tarn {
namespace {

// A caller may hand us a non-blocking descriptor; wait instead of failing on EAGAIN.
bool ready(int fd, short events) {
  pollfd watch{fd, events, 0};
  for (;;) {
    int n = ::poll(&watch, 1, -1);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

std::size_t readSome(int fd, std::span<std::uint8_t> into) {
  for (;;) {
    ssize_t n = ::read(fd, into.data(), into.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    int error = errno;
    if (error == EINTR || (wouldBlock(error) && ready(fd, POLLIN))) continue;
    throw std::system_error(error, std::generic_category(), "standard input");
  }
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR || (wouldBlock(errno) && ready(fd, POLLOUT)))) continue;
    if (n == 0) errno = EIO;
    return false;
  }
  return true;
}

void Descriptor::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace tarn
