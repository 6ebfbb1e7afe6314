#include "service/deadline.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace tarn::service {
namespace {

std::atomic<int> lastWordFd{-1};

// The reasons are our own fixed texts; escaping keeps the line JSON whatever they become.
std::string lastWord(std::string_view why) {
  std::string line = "{\"error\":\"";
  for (const char c : why) {
    if (c == '"' || c == '\\') {
      line += '\\';
      line += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      line += escaped;
    } else {
      line += c;
    }
  }
  line += "\"}";
  line += '\0';
  return line;
}

// MSG_NOSIGNAL: a peer that has gone must not turn the exit status into SIGPIPE's.
void say(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void setLastWordTo(int fd) { lastWordFd.store(fd); }

Deadline::Deadline(std::chrono::seconds limit, std::string_view why) : why_(why) {
  const auto end = std::chrono::steady_clock::now() + limit;
  watcher_ = std::thread([this, end] { watch(end); });
}

Deadline::~Deadline() {
  {
    const std::lock_guard lock(mutex_);
    done_ = true;
  }
  gone_.notify_one();
  watcher_.join();
}

void Deadline::watch(std::chrono::steady_clock::time_point end) {
  std::unique_lock lock(mutex_);
  if (gone_.wait_until(lock, end, [this] { return done_; })) return;
  // _exit, not exit: the stuck thread still runs, and no destructor may race it
  if (const int fd = lastWordFd.load(); fd >= 0) say(fd, lastWord(why_));
  ::_exit(1);
}

}  // namespace tarn::service
