#include "service/door.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <system_error>
#include <vector>

#include "base/io.hpp"
#include "service/peer.hpp"
#include "wire/wire.hpp"

namespace tarn::service {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Connections taken from the listen queue at once, before any is admitted.
constexpr std::size_t batch = 64;
// Starts one account may make in a burst, and how many a second it earns back.
constexpr double startBurst = 100, startsPerSecond = 50;
// A backstop far above a worker's own deadlines (10 s for the call, 120 s for the prompt, the TPM).
constexpr auto workerLimit = 300s;

struct Caller {
  uid_t uid;
  Descriptor connection;
};

struct Starts {
  double left = startBurst;
  Clock::time_point counted = Clock::now();
};

struct Worker {
  uid_t uid;
  Clock::time_point end;
};

void noted(int) {}

void sayBusy(int connection) {
  const SecretString busy = wire::Writer().text("error", "busy").finish();
  (void)::send(connection, busy.data(), busy.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

class Door {
 public:
  Door(int listener, const char* worker) : listener_(listener), worker_(worker) {}

  [[noreturn]] void run() {
    // SIGCHLD is taken only inside ppoll, so no worker's end slips between a reap and a wait.
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    ::sigprocmask(SIG_BLOCK, &child, &open_);
    struct sigaction action {};
    action.sa_handler = noted;
    ::sigaction(SIGCHLD, &action, nullptr);
    sigset_t waiting = open_;
    sigdelset(&waiting, SIGCHLD);
    ::fcntl(listener_, F_SETFL, ::fcntl(listener_, F_GETFL) | O_NONBLOCK);
    for (;;) {
      reap();
      pollfd door{listener_, POLLIN, 0};
      timespec wait{}, *limit = nullptr;
      if (!workers_.empty()) {
        auto next = Clock::now() + workerLimit;
        for (const auto& [pid, worker] : workers_) next = std::min(next, worker.end);
        const auto left = std::max(Clock::duration::zero(), next - Clock::now()) + 1s;
        wait.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(left).count();
        limit = &wait;
      }
      if (::ppoll(&door, 1, limit, &waiting) < 0 && errno != EINTR) {
        throw std::system_error(errno, std::generic_category(), "ppoll");
      }
      if (door.revents & POLLIN) {
        for (Caller& caller : inTurn(callers())) admit(std::move(caller));
      }
    }
  }

 private:
  // Up to a batch of the queue's connections, each with its peer's uid.
  std::vector<Caller> callers() {
    std::vector<Caller> taken;
    while (taken.size() < batch) {
      Descriptor connection(::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC));
      if (!connection) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EAGAIN || errno == EMFILE || errno == ENFILE || errno == ENOBUFS) break;
        throw std::system_error(errno, std::generic_category(), "accept");
      }
      ucred peer{};
      socklen_t size = sizeof peer;
      if (::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) continue;
      taken.push_back({peer.uid, std::move(connection)});
    }
    return taken;
  }

  static std::vector<Caller> inTurn(std::vector<Caller> callers) {
    std::vector<uid_t> uids;
    for (const Caller& caller : callers) uids.push_back(caller.uid);
    std::vector<Caller> turns;
    for (std::size_t i : service::inTurn(uids)) turns.push_back(std::move(callers[i]));
    return turns;
  }

  void admit(Caller caller) {
    Descriptor slot = takeSlot(caller.uid);
    if (!slot || !startAllowed(caller.uid)) return sayBusy(caller.connection.get());
    const pid_t pid = ::fork();
    if (pid == 0) become(caller.connection.get(), slot.get());
    if (pid < 0) return sayBusy(caller.connection.get());
    // Its own process group, so that its end or the backstop ends the PAM child with it.
    ::setpgid(pid, pid);
    workers_[pid] = {caller.uid, Clock::now() + workerLimit};
  }

  bool startAllowed(uid_t uid) {
    Starts& starts = starts_[uid];
    const auto now = Clock::now();
    const std::chrono::duration<double> earned = now - starts.counted;
    starts.left = std::min(startBurst, starts.left + earned.count() * startsPerSecond);
    starts.counted = now;
    if (starts.left < 1) return false;
    starts.left -= 1;
    return true;
  }

  // In the child: the worker, with the connection as fd 3 and the slot as fd 4.
  [[noreturn]] void become(int connection, int slot) {
    ::setpgid(0, 0);
    const int held[] = {::fcntl(connection, F_DUPFD_CLOEXEC, 10),
                        ::fcntl(slot, F_DUPFD_CLOEXEC, 10)};
    if (held[0] >= 0 && held[1] >= 0 && ::dup2(held[0], 3) == 3 && ::dup2(held[1], 4) == 4) {
      ::sigprocmask(SIG_SETMASK, &open_, nullptr);
      char* const argv[] = {const_cast<char*>(worker_), const_cast<char*>("--worker"), nullptr};
      ::execv("/proc/self/exe", argv);
    }
    ::_exit(127);
  }

  // Collects ended workers, ends what each left behind, and ends those past the backstop.
  void reap() {
    int status = 0;
    for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
      auto worker = workers_.find(pid);
      if (worker == workers_.end()) continue;
      ::kill(-pid, SIGKILL);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        // A refusal is a handled end; only these say something went wrong.
        ::syslog(LOG_DAEMON | LOG_WARNING, "worker for uid=%u ended with %s %d",
                 static_cast<unsigned>(worker->second.uid), WIFEXITED(status) ? "status" : "signal",
                 WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
      }
      workers_.erase(worker);
    }
    const auto now = Clock::now();
    for (const auto& [pid, worker] : workers_) {
      if (worker.end <= now) ::kill(-pid, SIGKILL);
    }
  }

  int listener_;
  const char* worker_;
  sigset_t open_{};
  std::map<uid_t, Starts> starts_;
  std::map<pid_t, Worker> workers_;
};

}  // namespace

std::vector<std::size_t> inTurn(std::span<const uid_t> uids) {
  std::map<uid_t, std::size_t> seen;
  std::vector<std::pair<std::size_t, std::size_t>> order;
  for (std::size_t i = 0; i < uids.size(); ++i) order.emplace_back(seen[uids[i]]++, i);
  std::sort(order.begin(), order.end());
  std::vector<std::size_t> turns;
  for (const auto& [turn, i] : order) turns.push_back(i);
  return turns;
}

void keepDoor(int listener, const char* worker) {
  int listening = 0;
  socklen_t size = sizeof listening;
  if (::getsockopt(listener, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening) {
    throw std::system_error(ENOTSOCK, std::generic_category(), "the listening socket");
  }
  ::openlog("tarn-wemb-custody", LOG_PID, LOG_DAEMON);
  Door(listener, worker).run();
}

}  // namespace tarn::service
