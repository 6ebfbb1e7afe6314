#include "prompt/prompt.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "base/account.hpp"
#include "base/io.hpp"
#include "base/text.hpp"
#include "prompt/pinentry.hpp"
#include "prompt/program.hpp"

namespace tarn::prompt {
namespace {

std::string environment(const char* name) {
  // plain getenv: the command runs setgid, where secure_getenv would see nothing
  const char* value = std::getenv(name);
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

std::string_view withoutTrailingBlanks(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// "name (path) asks: reason", the program named by the kernel before the words it chose.
SecretString asking(std::string_view asker, std::string_view reason) {
  const std::size_t slash = asker.rfind('/');
  SecretString out = secretString(2 * asker.size() + reason.size() + 16);
  if (asker.empty() || slash == std::string_view::npos) {
    out = "an unknown program";
  } else {
    out.append(asker.substr(slash + 1)).append(" (").append(asker).append(")");
  }
  return out.append(" asks: ").append(reason);
}

// The longest asker shown or sent, in user-perceived characters, as the reason is cut.
constexpr std::size_t maxAsker = 150;

// The executable of the process that started us, from the kernel: the program that asks. Control
// characters become '?'; empty when it cannot be read.
std::string askingProgram() {
  // The parent's /proc entry is open to us because the run holds the user's own group, not the
  // command's, outside the moment of connecting.
  char target[PATH_MAX];
  const std::string exe = "/proc/" + std::to_string(::getppid()) + "/exe";
  const ssize_t n = ::readlink(exe.c_str(), target, sizeof target);
  if (n <= 0 || static_cast<std::size_t>(n) == sizeof target || target[0] != '/') return {};
  // A name with a line break could draw a second "... asks:" line of its own choosing.
  return oneLine(std::string_view(target, static_cast<std::size_t>(n)), maxAsker);
}

// How long a stack may run without a word before the user is shown a Cancel button.
constexpr int silence = 1000;  // milliseconds

bool quietFor(int fd, int milliseconds) {
  pollfd watch{fd, POLLIN, 0};
  for (;;) {
    int n = ::poll(&watch, 1, milliseconds);
    if (n >= 0 || errno != EINTR) return n == 0;
  }
}

// The pinentry side of one authentication: what PAM asks and says, under the caller's reason.
class Prompt {
 public:
  Prompt(const Setup& setup, const SecretString& reason,
         std::chrono::steady_clock::time_point deadline)
      : setup_(setup), shown_(asking(setup.asker, reason)), deadline_(deadline) {}

  void run(Conversation& conversation) {
    for (;;) {
      if (idle_ && !conversation.pending() && quietFor(conversation.descriptor(), silence)) {
        wait(conversation, "");
        continue;
      }
      Event event = conversation.next();
      // Silence right as a round starts is a module waiting without a word; silence after an
      // answer is the stack checking it.
      idle_ = std::holds_alternative<Started>(event) || std::holds_alternative<Refused>(event);
      if (auto* question = std::get_if<Question>(&event)) {
        ask(conversation, *question);
      } else if (auto* message = std::get_if<Message>(&event)) {
        show(conversation, *message);
      } else if (std::holds_alternative<Refused>(event)) {
        wrong_ = wrong_ || answered_;
        answered_ = false;
      } else if (std::holds_alternative<Finished>(event)) {
        return;
      }
    }
  }

 private:
  void ask(Conversation& conversation, const Question& question) {
    Pinentry& pinentry = open("");
    std::string_view prompt = withoutTrailingBlanks(question.prompt);
    if (prompt != shownPrompt_) {
      pinentry.command("SETPROMPT", prompt);
      shownPrompt_ = prompt;
    }
    std::string_view error = error_;
    if (error.empty() && wrong_) error = "Wrong password";
    if (!error.empty()) pinentry.command("SETERROR", error);
    error_.clear();
    wrong_ = false;
    auto left =
        std::chrono::floor<std::chrono::seconds>(deadline_ - std::chrono::steady_clock::now());
    auto got = pinentry.getPin(left, conversation.descriptor());
    if (auto* unanswered = std::get_if<Unanswered>(&got)) {
      // The service has ended or given up: what it says next is the verdict, without a dialog.
      if (*unanswered == Unanswered::interrupted) return pinentry_.reset();
      // pinentry's own time running out is the system cancelling, as the service's limit is
      throw PromptCancelled();
    }
    auto* pin = &std::get<SecretString>(got);
    answered_ = true;
    // PAM sees C strings: "right\0anything" must not pass for "right".
    if (pin->find('\0') != SecretString::npos) {
      conversation.answer(std::nullopt);
    } else {
      conversation.answer(std::move(*pin));
    }
  }

  void show(Conversation& conversation, const Message& message) {
    if (message.warning) error_ = message.text;
    // A module that has already gone on is not waiting for anything.
    if (conversation.pending()) return;
    wait(conversation, message.warning ? "" : message.text);
  }

  // Stays on screen while a module waits (for a finger, a touch), with Cancel as its button.
  void wait(Conversation& conversation, std::string_view message) {
    Pinentry& pinentry = open(message);
    if (!error_.empty()) pinentry.command("SETERROR", error_);
    pinentry.command("SETOK", "Cancel");
    if (pinentry.confirmUnless(conversation.descriptor())) throw PromptCancelled();
    // The module is done waiting: its message goes, and a later question gets a fresh pinentry.
    pinentry_.reset();
  }

  // The running pinentry, showing the reason and below it `message`.
  Pinentry& open(std::string_view message) {
    if (!pinentry_) {
      pinentry_.emplace(setup_.program, setup_.place);
      shownPrompt_.clear();
      pinentry_->command("SETTITLE", "tarn-wemb");
    }
    pinentry_->describe(shown_, message);
    return *pinentry_;
  }

  const Setup& setup_;
  const SecretString shown_;  // who asks, then why
  const std::chrono::steady_clock::time_point deadline_;
  std::optional<Pinentry> pinentry_;
  std::string shownPrompt_;
  std::string error_;      // PAM's last error message, for the next question
  bool answered_ = false;  // a question of this round was answered
  bool wrong_ = false;     // a round that had an answer was refused
  bool idle_ = false;      // a round has just started and nothing was said yet
};

}  // namespace

Setup setup() {
  auto program = pinentryProgram();
  if (!program) throw PromptUnavailable("no pinentry program on PATH");
  auto place = promptPlace();
  if (!place) throw PromptUnavailable("no display or terminal to show the prompt on");
  if (!currentAccount()) throw PromptUnavailable("the current user has no account entry");
  return {std::move(*program), std::move(*place), askingProgram()};
}

void converse(const Setup& setup, const SecretString& reason, Conversation& conversation,
              std::chrono::steady_clock::time_point deadline) {
  Prompt prompt(setup, reason, deadline);
  prompt.run(conversation);
}

}  // namespace tarn::prompt
