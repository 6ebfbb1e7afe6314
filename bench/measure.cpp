// Runs one command once and prints its wall time (fork to reaped), peak resident memory and
// exit status as "wall=SECONDS rss_kib=KIB status=N".
//
//   measure [--input FILE] [--pad BYTES] [--output FILE] [--user NAME] -- PROGRAM ARGS...
//
// --input   standard input from FILE (default /dev/null); with --pad, FILE's bytes and then
//           BYTES more of 'a' go through a pipe, so a huge input needs no file.
// --output  standard output to FILE (default /dev/null). Standard error always goes nowhere.
// --user    run as this account (needs root), as a user would run the tool.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Options {
  std::string input = "/dev/null";
  std::string output = "/dev/null";
  long long pad = -1;
  const passwd* user = nullptr;
  std::vector<char*> command;
};

bool parse(int argc, char** argv, Options& options) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (name == "--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (name == "--input") {
      options.input = value;
    } else if (name == "--output") {
      options.output = value;
    } else if (name == "--pad") {
      options.pad = std::atoll(value);
    } else if (name == "--user") {
      options.user = ::getpwnam(value);
      if (options.user == nullptr) return false;
    } else {
      return false;
    }
  }
  for (; i < argc; ++i) options.command.push_back(argv[i]);
  options.command.push_back(nullptr);
  return options.command.size() > 1;
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // the reader went away: it is free to stop reading
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The file's bytes, then `pad` bytes of 'a', into `fd`.
void feed(int fd, const std::string& path, long long pad) {
  std::vector<char> buffer(1 << 20);
  int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  for (ssize_t n; file >= 0 && (n = ::read(file, buffer.data(), buffer.size())) > 0;) {
    if (!writeAll(fd, buffer.data(), static_cast<std::size_t>(n))) return;
  }
  if (file >= 0) ::close(file);
  std::fill(buffer.begin(), buffer.end(), 'a');
  for (long long left = pad; left > 0;) {
    const std::size_t part = static_cast<std::size_t>(std::min<long long>(left, 1 << 20));
    if (!writeAll(fd, buffer.data(), part)) return;
    left -= static_cast<long long>(part);
  }
}

double now() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::printf("usage: measure [--input F] [--pad N] [--output F] [--user NAME] -- CMD...\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  int pipeEnds[2] = {-1, -1};
  if (options.pad >= 0 && ::pipe2(pipeEnds, O_CLOEXEC) != 0) return 2;
  const int in = options.pad >= 0 ? pipeEnds[0] : ::open(options.input.c_str(), O_RDONLY);
  const int out = ::open(options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int null = ::open("/dev/null", O_WRONLY);
  if (in < 0 || out < 0 || null < 0) return 2;

  const double start = now();
  const pid_t pid = ::fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(null, 2);
    if (options.user != nullptr &&
        (::setgroups(0, nullptr) != 0 || ::setgid(options.user->pw_gid) != 0 ||
         ::setuid(options.user->pw_uid) != 0)) {
      ::_exit(126);
    }
    ::execvp(options.command[0], options.command.data());
    ::_exit(127);
  }
  if (options.pad >= 0) {
    ::close(pipeEnds[0]);
    feed(pipeEnds[1], options.input, options.pad);
    ::close(pipeEnds[1]);
  }
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  const double wall = now() - start;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::printf("wall=%.6f rss_kib=%ld status=%d\n", wall, usage.ru_maxrss, code);
  return 0;
}
