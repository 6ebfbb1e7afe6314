#include "service/deadline.hpp"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>
#include <system_error>

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
// The end the watcher sleeps towards, and the word it sleeps on: an earlier end bumps the word.
constexpr std::int64_t never = std::numeric_limits<std::int64_t>::max();
std::atomic<std::int64_t> sleepsUntil{never};
std::atomic<std::uint32_t> wakeups{0};
static_assert(sizeof wakeups == sizeof(std::uint32_t) && decltype(wakeups)::is_always_lock_free);
// The process whose watcher runs, and that watcher: a forked child starts its own.
std::atomic<pid_t> watching{0};
pthread_t watcher;
std::atomic<bool> stopping{false};

std::int64_t now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Sleeps while the word is `seen`, at most `nanoseconds` (never: without end). A futex, as it
// needs no lock that a fork could leave held.
void sleepOn(std::uint32_t seen, std::int64_t nanoseconds) {
  timespec left{static_cast<time_t>(nanoseconds / 1'000'000'000),
                static_cast<long>(nanoseconds % 1'000'000'000)};
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&wakeups), FUTEX_WAIT_PRIVATE, seen,
            nanoseconds == never ? nullptr : &left, nullptr, 0);
}

void wake() {
  wakeups.fetch_add(1);
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&wakeups), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

void* watch(void*) {
  for (;;) {
    // the word first: a stop after this load bumps it, so the sleep below cannot miss the stop
    const std::uint32_t seen = wakeups.load();
    if (stopping.load()) return nullptr;
    const std::int64_t end = armedEnd.load();
    const std::string_view* why = armedWhy.load();
    if (end != 0 && now() >= end && why != nullptr && armedEnd.load() == end) {
      // _exit, not exit: the stuck thread still runs, and no destructor may race it
      if (const int fd = lastWordFd.load(); fd >= 0) say(fd, lastWord(*why));
      ::_exit(1);
    }
    sleepsUntil.store(end == 0 ? never : end);
    // an end armed before the store above is seen here; one after it bumps the word
    if (armedEnd.load() != end) continue;
    sleepOn(seen, end == 0 ? never : std::max<std::int64_t>(end - now(), 0));
  }
}

// Run at exit: the watcher is stopped and joined, so no thread of ours outlives main.
void stopWatcher() {
  if (watching.load() != ::getpid()) return;
  stopping.store(true);
  wake();
  ::pthread_join(watcher, nullptr);
  watching.store(0);
  stopping.store(false);
}

void ensureWatcher() {
  const pid_t self = ::getpid();
  if (watching.load() == self) return;
  static std::atomic<pid_t> stopsAtExit{0};
  if (stopsAtExit.exchange(self) != self) std::atexit(stopWatcher);
  if (const int error = ::pthread_create(&watcher, nullptr, watch, nullptr); error != 0) {
    throw std::system_error(error, std::generic_category(), "pthread_create");
  }
  watching.store(self);
}

void arm(std::int64_t end, const std::string_view* why) {
  armedEnd.store(0);
  armedWhy.store(why);
  armedEnd.store(end);
  if (end != 0 && end < sleepsUntil.load()) {
    wake();
  }
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
  arm(end, &why);
}

Deadline::~Deadline() { arm(previousEnd_, previousWhy_); }

}  // namespace tarn::service
