#include "platform/pinentry.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/auth_context.hpp"

namespace tarn::platform {
namespace {

// gpg-error codes (low 16 bits) by which pinentry says the user cancelled.
constexpr unsigned long canceled = 99;
constexpr unsigned long fullyCanceled = 198;
// A pinentry gives no password longer than this; more is a broken or hostile program.
constexpr std::size_t maxPin = 64 * 1024;

std::system_error systemError(const char* what) { return {errno, std::generic_category(), what}; }

std::runtime_error protocolError(const std::string& what) {
  return std::runtime_error("pinentry: " + what);
}

// Moves fd above the standard streams, so the child's dup2 onto 0, 1 and 2 cannot clobber it.
int aboveStandardStreams(int fd) {
  if (fd > 2) return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int saved = errno;
  ::close(fd);
  errno = saved;
  return moved;
}

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool startsWith(const SecretString& line, std::string_view prefix) {
  return std::string_view(line).substr(0, prefix.size()) == prefix;
}

}  // namespace

std::string assuanEscape(std::string_view text) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '%' || byte < 0x20 || byte == 0x7f) {
      out += '%';
      out += digits[byte >> 4];
      out += digits[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

bool assuanUnescape(std::string_view text, SecretString& out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int high = hex(text[i + 1]), low = hex(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high << 4 | low);
    i += 2;
  }
  return true;
}

Pinentry::Pinentry(const std::string& program, const PromptPlace& place)
    : pending_(secretString(2 * assuanLineLength)) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
    throw systemError("socketpair");
  socket_ = aboveStandardStreams(pair[0]);
  int theirs = aboveStandardStreams(pair[1]);
  int null = aboveStandardStreams(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (socket_ < 0 || theirs < 0 || null < 0) {
    int saved = errno;
    for (int fd : {socket_, theirs, null}) {
      if (fd >= 0) ::close(fd);
    }
    errno = saved;
    throw systemError("pinentry descriptors");
  }
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  child_ = ::fork();
  if (child_ == 0) {
    // Only async-signal-safe calls until exec: the parent has other threads.
    if (::dup2(theirs, 0) < 0 || ::dup2(theirs, 1) < 0 || ::dup2(null, 2) < 0) ::_exit(127);
    ::close_range(3, ~0U, 0);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::execv(argv[0], argv);
    ::_exit(127);
  }
  int forkError = errno;
  ::close(theirs);
  ::close(null);
  if (child_ < 0) {
    ::close(socket_);
    errno = forkError;
    throw systemError("fork");
  }
  try {
    if (!receive(nullptr).ok) throw protocolError("refused to start");
    if (!place.terminal.empty()) {
      command("OPTION ttyname=" + assuanEscape(place.terminal));
      if (!place.termType.empty()) command("OPTION ttytype=" + assuanEscape(place.termType));
    }
  } catch (...) {
    stop();
    throw;
  }
}

Pinentry::~Pinentry() { stop(); }

void Pinentry::stop() noexcept {
  if (socket_ >= 0) {
    // Best effort: a pinentry that has gone or stopped reading must not keep us here.
    ::send(socket_, "BYE\n", 4, MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(socket_);
    socket_ = -1;
  }
  if (child_ > 0) {
    // It sees end of input now; one that does not leave within two seconds is killed.
    for (int i = 0; i < 200; ++i) {
      pid_t done = ::waitpid(child_, nullptr, WNOHANG);
      if (done == child_ || (done < 0 && errno != EINTR)) {
        child_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(child_, SIGKILL);
    while (::waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
  }
}

void Pinentry::command(std::string_view line) {
  send(line);
  Reply reply = receive(nullptr);
  if (!reply.ok) throw protocolError(reply.text.empty() ? "command refused" : reply.text);
}

SecretString Pinentry::getPin() {
  SecretString pin = secretString(256);
  send("GETPIN");
  Reply reply = receive(&pin);
  if (reply.ok) return pin;
  unsigned long code = reply.code & 0xffff;
  if (code == canceled || code == fullyCanceled) {
    throw AuthError(auth_code::userCancel, "the password prompt was cancelled");
  }
  throw protocolError(reply.text.empty() ? "no password" : reply.text);
}

void Pinentry::send(std::string_view line) {
  if (line.size() > assuanLineLength) throw protocolError("command too long");
  std::string out(line);
  out += '\n';
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::send(socket_, out.data() + done, out.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw protocolError("ended the conversation unexpectedly");
    done += static_cast<std::size_t>(n);
  }
}

Pinentry::Reply Pinentry::receive(SecretString* data) {
  for (;;) {
    SecretString line = readLine();
    if (line == "OK" || startsWith(line, "OK ")) return {true, 0, {}};
    if (startsWith(line, "ERR ")) {
      Reply reply;
      char* end = nullptr;
      reply.code = std::strtoul(line.c_str() + 4, &end, 10);
      std::string_view rest(end);
      while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
      reply.text = rest;
      return reply;
    }
    if (startsWith(line, "D ")) {
      if (data == nullptr) throw protocolError("data where none was asked for");
      if (!assuanUnescape(std::string_view(line).substr(2), *data)) {
        throw protocolError("malformed data line");
      }
      if (data->size() > maxPin) throw protocolError("password too long");
      continue;
    }
    if (line == "S" || startsWith(line, "S ") || startsWith(line, "#")) continue;
    // We offer nothing to inquire about (no quality bar), so every inquiry is declined.
    if (startsWith(line, "INQUIRE ")) {
      send("CAN");
      continue;
    }
    throw protocolError("unexpected reply");
  }
}

SecretString Pinentry::readLine() {
  for (;;) {
    auto end = pending_.find('\n');
    if (end != SecretString::npos) {
      SecretString line = secretString(end + 1);
      line.assign(pending_, 0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    if (pending_.size() > assuanLineLength) throw protocolError("line too long");
    constexpr std::size_t chunk = 512;
    std::size_t old = pending_.size();
    pending_.resize(old + chunk);
    ssize_t n = ::recv(socket_, pending_.data() + old, chunk, 0);
    pending_.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw protocolError("ended the conversation unexpectedly");
  }
}

}  // namespace tarn::platform
