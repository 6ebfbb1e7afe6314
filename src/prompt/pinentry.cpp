#include "prompt/pinentry.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

#include "base/text.hpp"

namespace tarn::prompt {
namespace {

using Clock = std::chrono::steady_clock;

// gpg-error codes (low 16 bits) by which pinentry says the user cancelled.
constexpr unsigned canceled = 99;
constexpr unsigned fullyCanceled = 198;
// ... and by which it says its own time ran out (SETTIMEOUT, or pinentry-curses' built-in minute).
constexpr unsigned timeout = 62;
// A pinentry gives no password longer than this; more is a broken or hostile program.
constexpr std::size_t maxPin = 64 * 1024;
constexpr auto answerTime = std::chrono::seconds(10);
constexpr std::string_view ellipsis = "\xE2\x80\xA6";

std::system_error systemError(const char* what) { return {errno, std::generic_category(), what}; }

std::runtime_error protocolError(const std::string& what) {
  return std::runtime_error("pinentry: " + what);
}

// `text` as valid UTF-8, escaped for Assuan in at most `room` bytes; a longer one is cut after a
// whole user-perceived character and ends in an ellipsis, so no character shows half.
SecretString escapedWithin(std::string_view text, std::size_t room) {
  const SecretString valid = repaired(text);
  SecretString whole = assuanEscape(valid);
  if (whole.size() <= room) return whole;
  SecretString cut = secretString(room);
  for (text = valid; !text.empty();) {
    std::string_view cluster = graphemes(text, 1);
    SecretString piece = assuanEscape(cluster);
    if (cut.size() + piece.size() + ellipsis.size() > room) break;
    cut += piece;
    text.remove_prefix(cluster.size());
  }
  return cut += ellipsis;
}

// `verb` with `text` as its argument, cut to fit one Assuan line.
SecretString line(std::string_view verb, std::string_view text) {
  SecretString out = secretString(assuanLineLength);
  out = verb;
  if (text.empty()) return out;
  out += ' ';
  return out += escapedWithin(text, assuanLineLength - out.size());
}

// SETDESC with the reason, and below it what a module says. The message keeps at most half
// the line, and the reason gives way first.
SecretString description(std::string_view reason, std::string_view message) {
  if (message.empty()) return line("SETDESC", reason);
  constexpr std::string_view gap = "%0A%0A";
  SecretString said = escapedWithin(message, assuanLineLength / 2);
  SecretString out = secretString(assuanLineLength);
  out = "SETDESC ";
  if (!reason.empty()) {
    out += escapedWithin(reason, assuanLineLength - out.size() - gap.size() - said.size());
    out += gap;
  }
  return out += said;
}

bool cancelled(unsigned code) {
  return (code & 0xffff) == canceled || (code & 0xffff) == fullyCanceled;
}

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The word and what follows its blank: "OK" and "OK ..." both start with "OK".
bool starts(std::string_view line, std::string_view word, std::string_view& rest) {
  if (line.substr(0, word.size()) != word) return false;
  rest = line.substr(word.size());
  if (rest.empty()) return true;
  if (rest.front() != ' ') return false;
  rest.remove_prefix(1);
  return true;
}

bool shown(std::string_view name) {
  static constexpr std::string_view allowed[] = {
      "DISPLAY", "WAYLAND_DISPLAY",          "XAUTHORITY",      "GPG_TTY",
      "TERM",    "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "LANG",
      "LANGUAGE"};
  return name.starts_with("LC_") ||
         std::find(std::begin(allowed), std::end(allowed), name) != std::end(allowed);
}

// What pinentry may see of the caller's environment: where to draw and in which language. The
// rest (GTK_MODULES, LD_*, a toolkit's plugin paths) would let the caller's code into the dialog.
std::vector<std::string> allowedEnvironment() {
  std::vector<std::string> kept;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view variable(*entry);
    if (shown(variable.substr(0, variable.find('=')))) kept.emplace_back(variable);
  }
  // the system's own search path, never the caller's: a pinentry that is a script finds its tools
  std::string path(::confstr(_CS_PATH, nullptr, 0), '\0');
  ::confstr(_CS_PATH, path.data(), path.size());
  kept.push_back("PATH=" + path.substr(0, path.find('\0')));
  return kept;
}

// Starts `program` on one end of a socket pair as its standard input and output.
pid_t spawn(const std::string& program, Descriptor& ours) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    throw systemError("socketpair");
  }
  ours.reset(pair[0]);
  Descriptor theirs(pair[1]);
  Descriptor null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!null) throw systemError("/dev/null");
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  std::vector<std::string> environment = allowedEnvironment();
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  // It runs as the user, who may raise a soft limit: the hard one goes to zero as well.
  const rlimit noCore{0, 0};
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    // Only async-signal-safe calls until exec: the parent has other threads. The pinentry runs
    // as the user alone, without the group the custody service answers: first, since a change of
    // credentials, and an exec that keeps one, would drop the parent-death signal. The forking
    // thread is the caller's, which lasts the whole run, so its death means ours; a parent that
    // died before prctl took effect shows in getppid.
    const gid_t group = ::getgid();
    if (::setresgid(group, group, group) != 0 || ::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 ||
        ::getppid() != parent || ::setrlimit(RLIMIT_CORE, &noCore) != 0) {
      ::_exit(127);
    }
    if (::dup2(theirs.get(), 0) < 0 || ::dup2(theirs.get(), 1) < 0 || ::dup2(null.get(), 2) < 0) {
      ::_exit(127);
    }
    ::close_range(3, ~0U, 0);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  if (child < 0) throw systemError("fork");
  return child;
}

}  // namespace

AssuanReply parseAssuanReply(std::string_view line) {
  using Kind = AssuanReply::Kind;
  std::string_view rest;
  if (starts(line, "OK", rest)) return {Kind::ok, 0, {}};
  if (starts(line, "ERR", rest)) {
    AssuanReply reply{Kind::error, 0, {}};
    auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), reply.code);
    if (error != std::errc()) reply.code = 0;
    rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    reply.text = rest;
    return reply;
  }
  if (line.starts_with("D ")) return {Kind::data, 0, line.substr(2)};
  if (starts(line, "S", rest)) return {Kind::status, 0, {}};
  if (line.starts_with("#")) return {Kind::comment, 0, {}};
  if (starts(line, "INQUIRE", rest) && !rest.empty()) return {Kind::inquire, 0, {}};
  return {};
}

SecretString assuanEscape(std::string_view text) {
  static constexpr char digits[] = "0123456789ABCDEF";
  SecretString out = secretString(text.size());
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
  child_ = spawn(program, socket_);
  try {
    busy_ = true;
    if (!receive(nullptr, Clock::now() + answerTime, -1).ok)
      throw protocolError("refused to start");
    if (!place.terminal.empty()) {
      command("OPTION ttyname=" + std::string(assuanEscape(place.terminal)));
      if (!place.termType.empty()) {
        command("OPTION ttytype=" + std::string(assuanEscape(place.termType)));
      }
    }
  } catch (...) {
    stop();
    throw;
  }
}

Pinentry::~Pinentry() { stop(); }

void Pinentry::stop() noexcept {
  if (socket_) {
    // Best effort: a pinentry that has gone or stopped reading must not keep us here.
    if (!busy_) ::send(socket_.get(), "BYE\n", 4, MSG_NOSIGNAL | MSG_DONTWAIT);
    socket_.reset();
  }
  if (child_ <= 0) return;
  // A dialog still on screen would not read BYE: it is told to go at once.
  if (busy_) ::kill(child_, SIGTERM);
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

void Pinentry::command(std::string_view verb, std::string_view text) { command(line(verb, text)); }

void Pinentry::describe(std::string_view reason, std::string_view message) {
  SecretString shown = description(reason, message);
  if (shown == described_) return;
  command(shown);
  described_ = std::move(shown);
}

void Pinentry::command(std::string_view line) {
  send(line);
  Reply reply = receive(nullptr, Clock::now() + answerTime, -1);
  if (!reply.ok) throw protocolError(reply.text.empty() ? "command refused" : reply.text);
}

std::variant<SecretString, Unanswered> Pinentry::getPin(std::chrono::seconds left, int interrupt) {
  command("SETTIMEOUT " + std::to_string(std::max<long long>(left.count(), 1)));
  SecretString pin = secretString(256);
  send("GETPIN");
  Reply reply = receive(&pin, std::nullopt, interrupt);
  if (reply.interrupted) return Unanswered::interrupted;
  if (reply.ok) return pin;
  if (cancelled(reply.code)) return Unanswered::cancelled;
  if ((reply.code & 0xffff) == timeout) return Unanswered::timedOut;
  throw protocolError(reply.text.empty() ? "no password" : reply.text);
}

bool Pinentry::confirmUnless(int interrupt) {
  send("CONFIRM --one-button");
  Reply reply = receive(nullptr, std::nullopt, interrupt);
  if (reply.interrupted) return false;
  // Its one button is Cancel: closing the dialog means the same.
  if (reply.ok || cancelled(reply.code)) return true;
  throw protocolError(reply.text.empty() ? "cannot confirm" : reply.text);
}

bool Pinentry::awaitInput(Deadline deadline, int interrupt) const {
  // poll passes over a negative descriptor, so "no interrupt" needs no case of its own.
  pollfd watch[2] = {{interrupt, POLLIN, 0}, {socket_.get(), POLLIN, 0}};
  for (;;) {
    int wait = -1;
    if (deadline) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
      wait = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }
    int n = ::poll(watch, 2, wait);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw systemError("poll");
    if (n == 0) throw protocolError("no answer within 10 seconds");
    return watch[0].revents == 0;
  }
}

void Pinentry::send(std::string_view line) {
  if (line.size() > assuanLineLength) throw protocolError("command too long");
  SecretString out = secretString(line.size() + 1);
  out.append(line);
  out += '\n';
  if (!writeAll(socket_.get(), out)) throw protocolError("ended the conversation unexpectedly");
  busy_ = true;
}

Pinentry::Reply Pinentry::receive(SecretString* data, Deadline deadline, int interrupt) {
  using Kind = AssuanReply::Kind;
  for (;;) {
    std::optional<SecretString> line = readLine(deadline, interrupt);
    if (!line) return {false, 0, {}, true};
    AssuanReply reply = parseAssuanReply(*line);
    switch (reply.kind) {
      case Kind::ok:
      case Kind::error:
        busy_ = false;
        return {reply.kind == Kind::ok, reply.code, std::string(reply.text), false};
      case Kind::data:
        if (data == nullptr) throw protocolError("data where none was asked for");
        if (!assuanUnescape(reply.text, *data)) throw protocolError("malformed data line");
        if (data->size() > maxPin) throw protocolError("password too long");
        continue;
      case Kind::status:
      case Kind::comment:
        continue;
      case Kind::inquire:
        // We offer nothing to inquire about (no quality bar), so every inquiry is declined.
        send("CAN");
        continue;
      case Kind::unknown:
        throw protocolError("unexpected reply");
    }
  }
}

std::optional<SecretString> Pinentry::readLine(Deadline deadline, int interrupt) {
  for (;;) {
    auto end = pending_.find('\n');
    if (end != SecretString::npos) {
      SecretString line = secretString(end + 1);
      line.assign(pending_, 0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    if (pending_.size() > assuanLineLength) throw protocolError("line too long");
    if (!awaitInput(deadline, interrupt)) return std::nullopt;
    constexpr std::size_t chunk = 512;
    std::size_t old = pending_.size();
    pending_.resize(old + chunk);
    ssize_t n = ::recv(socket_.get(), pending_.data() + old, chunk, 0);
    pending_.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw protocolError("ended the conversation unexpectedly");
  }
}

}  // namespace tarn::prompt
