#include "service/deadline.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>

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

// The deadline in force: its end on the steady clock in nanoseconds (0: none) and its reason.
std::atomic<std::int64_t> armedEnd{0};
std::atomic<const std::string_view*> armedWhy{nullptr};
// The process whose watcher runs: a forked child starts its own.
std::atomic<pid_t> watching{0};

std::int64_t now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Unarmed, it looks again every second, the shortest limit: a deadline armed meanwhile is never
// overslept. Armed, it sleeps until the end and looks whether that end still holds.
[[noreturn]] void watch() {
  for (;;) {
    const std::int64_t end = armedEnd.load();
    const std::int64_t left = end == 0 ? std::int64_t{1'000'000'000} : end - now();
    const std::string_view* why = armedWhy.load();
    if (end != 0 && left <= 0 && why != nullptr && armedEnd.load() == end) {
      // _exit, not exit: the stuck thread still runs, and no destructor may race it
      if (const int fd = lastWordFd.load(); fd >= 0) say(fd, lastWord(*why));
      ::_exit(1);
    }
    std::this_thread::sleep_for(std::chrono::nanoseconds(left));
  }
}

void ensureWatcher() {
  const pid_t self = ::getpid();
  if (watching.load() == self) return;
  std::thread(watch).detach();
  watching.store(self);
}

}  // namespace

void setLastWordTo(int fd) { lastWordFd.store(fd); }

Deadline::Deadline(std::chrono::seconds limit, const std::string_view& why)
    : previousEnd_(armedEnd.load()), previousWhy_(armedWhy.load()) {
  ensureWatcher();
  const std::int64_t end =
      now() + std::chrono::duration_cast<std::chrono::nanoseconds>(limit).count();
  // a nested deadline never extends the one around it
  if (previousEnd_ != 0 && previousEnd_ <= end) return;
  armedEnd.store(0);
  armedWhy.store(&why);
  armedEnd.store(end);
}

Deadline::~Deadline() {
  armedEnd.store(0);
  armedWhy.store(previousWhy_);
  armedEnd.store(previousEnd_);
}

}  // namespace tarn::service
