#include "support/process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tarn::test {
namespace {

std::vector<std::string> environment(const Launch& launch) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    auto eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : launch.env) {
    if (value) {
      vars[name] = *value;
    } else {
      vars.erase(name);
    }
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

Outcome run(const Launch& launch) {
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  check(::pipe2(in, O_CLOEXEC) == 0 && ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0,
        "pipe");

  std::vector<std::string> env = environment(launch);
  std::vector<char*> argv, envp;
  for (const auto& a : launch.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = ::fork();
  check(pid >= 0, "fork");
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (launch.newSession) ::setsid();
    if (!launch.cwd.empty() && ::chdir(launch.cwd.c_str()) != 0) ::_exit(126);
    if (launch.gid && (::setgroups(0, nullptr) != 0 || ::setgid(*launch.gid) != 0)) ::_exit(126);
    if (launch.uid && ::setuid(*launch.uid) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  // The read end of standard input stays open here, to count what the program left unread.
  int inRead = in[0];
  int inWrite = in[1];
  ::fcntl(inWrite, F_SETFL, O_NONBLOCK);

  Outcome outcome;
  std::size_t written = 0;
  if (launch.input.empty()) {
    ::close(inWrite);
    inWrite = -1;
  }
  bool outOpen = true, errOpen = true;
  char buffer[65536];
  while (outOpen || errOpen) {
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {inWrite, POLLOUT, 0}};
    nfds_t count = inWrite >= 0 ? 3 : 2;
    if (::poll(fds, count, 100) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      bool& open = i == 0 ? outOpen : errOpen;
      if (!open || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? outcome.out : outcome.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        open = false;
      }
    }
    if (inWrite >= 0) {
      ssize_t n = ::write(inWrite, launch.input.data() + written, launch.input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (written == launch.input.size() || (n < 0 && errno == EPIPE)) {
        ::close(inWrite);
        inWrite = -1;
      }
    }
    // Standard input is full and nobody reads it: the program has already answered or is stuck.
    if (inWrite >= 0 && !outOpen && !errOpen) break;
  }
  if (inWrite >= 0) ::close(inWrite);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  int pending = 0;
  ::ioctl(inRead, FIONREAD, &pending);
  outcome.unreadInput = static_cast<std::size_t>(pending) + (launch.input.size() - written);
  ::close(inRead);
  ::close(out[0]);
  ::close(err[0]);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

Launch tarnWemb(std::vector<std::string> args, std::string input) {
  Launch launch;
  launch.args.push_back(TARN_WEMB_BINARY);
  for (auto& a : args) launch.args.push_back(std::move(a));
  launch.input = std::move(input);
  return launch;
}

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/tarn-test-XXXXXX";
  check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  path_ = pattern;
  ::chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Make everything removable first: tests leave mode 000 files and read-only directories.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    ::chmod(it->path().c_str(), 0700);
  }
  std::filesystem::remove_all(path_, ignored);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace tarn::test
