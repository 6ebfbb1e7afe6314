#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "base/account.hpp"
#include "platform/auth_context.hpp"
#include "platform/password_check.hpp"
#include "platform/pinentry.hpp"

namespace tarn::platform {
namespace {

constexpr int attempts = 3;

std::string environment(const char* name) {
  const char* value = ::secure_getenv(name);
  return value != nullptr ? value : "";
}

// The first executable "pinentry" on PATH, or nothing.
std::optional<std::string> pinentryProgram() {
  std::string path = environment("PATH");
  if (path.empty()) {
    path.resize(::confstr(_CS_PATH, nullptr, 0));
    ::confstr(_CS_PATH, path.data(), path.size());
    path.resize(path.find('\0'));
  }
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    start = end + 1;
    // Only absolute entries: an empty or relative one would look in the working directory.
    if (dir.empty() || dir.front() != '/') continue;
    std::string candidate = dir + "/pinentry";
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::nullopt;
}

// A graphical session, else GPG_TTY, else our controlling terminal if it opens.
std::optional<PromptPlace> promptPlace() {
  PromptPlace place;
  place.display = !environment("DISPLAY").empty() || !environment("WAYLAND_DISPLAY").empty();
  place.terminal = environment("GPG_TTY");
  if (place.terminal.empty()) {
    int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty >= 0) {
      const char* name = ::ttyname(tty);
      place.terminal = name != nullptr ? name : "/dev/tty";
      ::close(tty);
    }
  }
  if (!place.terminal.empty()) place.termType = environment("TERM");
  if (!place.display && place.terminal.empty()) return std::nullopt;
  return place;
}

// Everything a prompt needs; throws AuthError saying what is missing.
struct Means {
  std::string program;
  PromptPlace place;
  std::string user;
};

Means means(int policy) {
  if (policy != deviceOwnerAuthentication) {
    throw AuthError(auth_code::passcodeNotSet, "only the device owner policy is offered");
  }
  auto program = pinentryProgram();
  if (!program) throw AuthError(auth_code::passcodeNotSet, "no pinentry program on PATH");
  auto place = promptPlace();
  if (!place) {
    throw AuthError(auth_code::notInteractive, "no display or terminal to show the prompt on");
  }
  auto account = currentAccount();
  if (!account) throw AuthError(auth_code::passcodeNotSet, "the current user has no account entry");
  return {std::move(*program), std::move(*place), std::move(account->name)};
}

// SETDESC with the reason; a reason too long for one Assuan line is cut at a character and
// ends in an ellipsis, because pinentry refuses the whole line otherwise.
std::string description(const std::string& reason) {
  if (reason.empty()) return "SETDESC";
  std::string line = "SETDESC " + assuanEscape(reason);
  if (line.size() <= assuanLineLength) return line;
  const std::string_view ellipsis = "\xE2\x80\xA6";
  line = "SETDESC ";
  for (std::size_t i = 0; i < reason.size();) {
    std::size_t length = 1;
    while (i + length < reason.size() && (reason[i + length] & 0xC0) == 0x80) ++length;
    std::string piece = assuanEscape(std::string_view(reason).substr(i, length));
    if (line.size() + piece.size() + ellipsis.size() > assuanLineLength) break;
    line += piece;
    i += length;
  }
  return line += ellipsis;
}

// One whole prompt: true once PAM accepts a password; throws for everything else.
bool prompt(const Means& means, const std::string& reason) {
  Pinentry pinentry(means.program, means.place);
  pinentry.command("SETTITLE tarn-wemb");
  pinentry.command(description(reason));
  pinentry.command("SETPROMPT Password:");
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    if (attempt > 1) pinentry.command("SETERROR Wrong password");
    // The password is a temporary: wiped as soon as PAM has answered.
    if (passwordAccepted(means.user, pinentry.getPin())) return true;
  }
  throw AuthError(auth_code::authenticationFailed, "three wrong passwords");
}

class PinentryContext : public AuthContext {
 public:
  ~PinentryContext() override {
    if (!worker_.joinable()) return;
    // A reply handler that drops its own context must not wait for itself.
    if (worker_.get_id() == std::this_thread::get_id()) {
      worker_.detach();
    } else {
      worker_.join();
    }
  }

  bool canEvaluatePolicy(int policy, std::optional<AuthError>& error) override {
    error.reset();
    try {
      means(policy);
      return true;
    } catch (const AuthError& missing) {
      error = missing;
      return false;
    }
  }

  void evaluatePolicy(int policy, const std::string& reason, ReplyHandler reply) override {
    if (started_.exchange(true)) {
      answer(reply, false,
             std::make_exception_ptr(std::logic_error("authentication context already used")));
      return;
    }
    try {
      worker_ = std::thread([this, policy, reason, reply] { evaluate(policy, reason, reply); });
    } catch (...) {
      answer(reply, false, std::current_exception());
    }
  }

  bool evaluated() const override { return evaluated_; }

 private:
  void evaluate(int policy, const std::string& reason, const ReplyHandler& reply) noexcept {
    bool success = false;
    std::exception_ptr error;
    try {
      success = prompt(means(policy), reason);
    } catch (...) {
      error = std::current_exception();
    }
    evaluated_ = success;
    answer(reply, success, error);
  }

  // The handler is the caller's: whatever it throws stays here, and it runs exactly once.
  static void answer(const ReplyHandler& reply, bool success, std::exception_ptr error) noexcept {
    try {
      if (reply) reply(success, error);
    } catch (...) {
    }
  }

  std::atomic<bool> started_ = false;
  std::atomic<bool> evaluated_ = false;
  std::thread worker_;
};

}  // namespace

std::unique_ptr<AuthContext> newAuthContext() { return std::make_unique<PinentryContext>(); }

}  // namespace tarn::platform
