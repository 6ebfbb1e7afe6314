#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "app/command.hpp"
#include "channel/channel.hpp"
#include "store/directory.hpp"

namespace {

using namespace tarn;

// Before anything else: descriptors 0-2 exist, standard error leads nowhere, no core dumps.
// The error when the effective group could not be the user's, else 0.
int harden() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1) {
      int opened = ::open("/dev/null", O_RDWR);
      if (opened >= 0 && opened != fd) {
        ::dup2(opened, fd);
        ::close(opened);
      }
    }
  }
  if (int null = ::open("/dev/null", O_WRONLY); null >= 0) {
    ::dup2(null, 2);
    if (null != 2) ::close(null);
  }
  // The user's own group from here on: what the run creates is the user's; the client takes the
  // command's group back only to connect.
  const int groupError = ::setegid(::getgid()) == 0 ? 0 : errno;
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  // A reader that went away must not change the exit status.
  ::signal(SIGPIPE, SIG_IGN);
  // A file size limit makes the write fail and the run answer, instead of ending it unanswered.
  ::signal(SIGXFSZ, SIG_IGN);
  return groupError;
}

// The argument after the first "--dir", else the default store; only whole arguments count.
std::string storeDirectory(const std::vector<std::string>& arguments) {
  auto option = std::find(arguments.begin(), arguments.end(), "--dir");
  if (option != arguments.end() && std::next(option) != arguments.end()) {
    const std::string& value = *std::next(option);
    return value.empty() ? "." : value;
  }
  return store::defaultDirectory();
}

// Compared in this order, as exact, case-sensitive words.
constexpr std::array<std::pair<std::string_view, app::Command>, 4> commands = {{
    {"status", app::status},
    {"seal", app::seal},
    {"open", app::open},
    {"verify", app::verify},
}};

channel::Reply run(const std::vector<std::string>& arguments, const app::Invocation& invocation) {
  std::string_view word = arguments.size() > 1 ? std::string_view(arguments[1]) : "";
  try {
    for (const auto& [name, command] : commands) {
      if (word == name) return command(invocation);
    }
    throw Failure(std::string(app::usage));
  } catch (const std::exception& error) {
    return channel::errorReply(error);
  } catch (...) {
    return channel::errorReply(std::runtime_error("unknown error"));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int groupError = harden();
  std::vector<std::string> arguments(argv, argv + argc);
  app::Invocation invocation;
  invocation.directory = storeDirectory(arguments);
  channel::Reply reply =
      groupError == 0
          ? run(arguments, invocation)
          : channel::errorReply(std::system_error(groupError, std::generic_category(), "setegid"));
  channel::write(reply);
  return reply.code;
}
