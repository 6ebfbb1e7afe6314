#include "platform/prompt.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "base/account.hpp"
#include "base/io.hpp"
#include "base/text.hpp"
#include "platform/pam.hpp"
#include "platform/pinentry.hpp"
#include "prompt/program.hpp"

namespace tarn::platform {
namespace {

constexpr std::string_view ellipsis = "\xE2\x80\xA6";

std::string environment(const char* name) {
  const char* value = ::secure_getenv(name);
  return value != nullptr ? value : "";
}

// A graphical session, else GPG_TTY, else our controlling terminal if it opens.
std::optional<PromptPlace> promptPlace() {
  PromptPlace place;
  place.display = !environment("DISPLAY").empty() || !environment("WAYLAND_DISPLAY").empty();
  place.terminal = environment("GPG_TTY");
  if (place.terminal.empty()) {
    Descriptor tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (tty) {
      const char* name = ::ttyname(tty.get());
      place.terminal = name != nullptr ? name : "/dev/tty";
    }
  }
  if (!place.terminal.empty()) place.termType = environment("TERM");
  if (!place.display && place.terminal.empty()) return std::nullopt;
  return place;
}

// Everything a prompt needs before anyone is asked.
struct PromptSetup {
  std::string program;
  PromptPlace place;
  std::string user;
};

PromptSetup promptSetup() {
  auto program = prompt::pinentryProgram();
  if (!program) throw PromptUnavailable("no pinentry program on PATH");
  auto place = promptPlace();
  if (!place) throw PromptUnavailable("no display or terminal to show the prompt on");
  auto account = currentAccount();
  if (!account) throw PromptUnavailable("the current user has no account entry");
  return {std::move(*program), std::move(*place), std::move(account->name)};
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

// `command` with `text` as its argument, cut to fit one Assuan line.
SecretString line(std::string_view command, std::string_view text) {
  SecretString out = secretString(assuanLineLength);
  out = command;
  if (text.empty()) return out;
  out += ' ';
  return out += escapedWithin(text, assuanLineLength - out.size());
}

// SETDESC with the reason, and below it what a module says. The message keeps at most half
// the line, and the reason gives way first.
SecretString description(const SecretString& reason, std::string_view message) {
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

std::string_view withoutTrailingBlanks(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The pinentry side of one authentication: what PAM asks and says, under the caller's reason.
class Prompt {
 public:
  Prompt(const PromptSetup& setup, const SecretString& reason) : setup_(setup), reason_(reason) {}

  // True once PAM is satisfied; throws PromptCancelled, or for a pinentry that fails.
  bool run(pam::Authentication& pam) {
    for (;;) {
      pam::Event event = pam.next();
      if (auto* question = std::get_if<pam::Question>(&event)) {
        ask(pam, *question);
      } else if (auto* message = std::get_if<pam::Message>(&event)) {
        show(pam, *message);
      } else if (std::holds_alternative<pam::Refused>(event)) {
        wrong_ = wrong_ || answered_;
        answered_ = false;
      } else {
        return std::get<pam::Finished>(event).proven;
      }
    }
  }

 private:
  void ask(pam::Authentication& pam, const pam::Question& question) {
    Pinentry& pinentry = open(description(reason_, ""));
    SecretString prompt = line("SETPROMPT", withoutTrailingBlanks(question.prompt));
    if (prompt != shownPrompt_) {
      pinentry.command(prompt);
      shownPrompt_ = prompt;
    }
    std::string_view error = error_;
    if (error.empty() && wrong_) error = "Wrong password";
    if (!error.empty()) pinentry.command(line("SETERROR", error));
    error_.clear();
    wrong_ = false;
    SecretString pin = pinentry.getPin();
    answered_ = true;
    // PAM sees C strings: "right\0anything" must not pass for "right".
    if (pin.find('\0') != SecretString::npos) {
      pam.answer(std::nullopt);
    } else {
      pam.answer(std::move(pin));
    }
  }

  // Stays on screen while the module waits (for a finger, a touch), with Cancel as its button.
  void show(pam::Authentication& pam, const pam::Message& message) {
    if (message.error) error_ = message.text;
    // A module that has already gone on is not waiting for anything.
    if (pam.pending()) return;
    Pinentry& pinentry = open(description(reason_, message.error ? "" : message.text));
    if (!error_.empty()) pinentry.command(line("SETERROR", error_));
    pinentry.command("SETOK Cancel");
    if (pinentry.confirmUnless(pam.descriptor())) throw PromptCancelled();
    // The module is done waiting: its message goes, and a later question gets a fresh pinentry.
    pinentry_.reset();
  }

  Pinentry& open(const SecretString& description) {
    if (!pinentry_) {
      pinentry_.emplace(setup_.program, setup_.place);
      shownDescription_.clear();
      shownPrompt_.clear();
      pinentry_->command("SETTITLE tarn-wemb");
    }
    if (description != shownDescription_) {
      pinentry_->command(description);
      shownDescription_ = description;
    }
    return *pinentry_;
  }

  const PromptSetup& setup_;
  const SecretString& reason_;
  std::optional<Pinentry> pinentry_;
  SecretString shownDescription_ = secretString(assuanLineLength);
  SecretString shownPrompt_ = secretString(assuanLineLength);
  std::string error_;      // PAM's last error message, for the next question
  bool answered_ = false;  // a question of this round was answered
  bool wrong_ = false;     // a round that had an answer was refused
};

}  // namespace

Presence askPresence(const SecretString& reason) {
  const PromptSetup needed = promptSetup();
  pam::Authentication pam(needed.user);
  Prompt prompt(needed, reason);
  if (!prompt.run(pam)) throw std::runtime_error("PAM refused the user");
  return Presence();
}

}  // namespace tarn::platform
