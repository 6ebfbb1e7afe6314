#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/io.hpp"
#include "base/secret.hpp"

namespace tarn::prompt {

// Assuan's limit on one line, without its line feed; longer lines are refused by pinentry.
inline constexpr std::size_t assuanLineLength = 1000;

// Where a prompt can appear: a graphical session, a terminal, or both.
struct PromptPlace {
  bool display = false;
  std::string terminal;  // empty: no terminal
  std::string termType;  // TERM, for curses on that terminal
};

// One line that pinentry sent, without its line feed.
struct AssuanReply {
  enum class Kind { ok, error, data, status, comment, inquire, unknown };
  Kind kind = Kind::unknown;
  unsigned code = 0;      // error: the gpg-error code, 0 when none is given
  std::string_view text;  // error: the description; data: the data, still escaped
};

// What `line` is; `text` points into it.
AssuanReply parseAssuanReply(std::string_view line);

// Text for one Assuan argument: '%' and every control byte as %XX, the rest as it is.
SecretString assuanEscape(std::string_view text);

// Appends the decoded `text` to `out`; false when an escape is malformed.
bool assuanUnescape(std::string_view text, SecretString& out);

// Why a question got no answer.
enum class Unanswered { cancelled, timedOut, interrupted };

// One running pinentry and our side of its Assuan conversation. It greets and answers every
// command within 10 seconds, except those that wait for the user; it ends when we do.
class Pinentry {
 public:
  // Starts `program`, reads its greeting and tells it where to draw.
  Pinentry(const std::string& program, const PromptPlace& place);
  ~Pinentry();
  Pinentry(const Pinentry&) = delete;
  Pinentry& operator=(const Pinentry&) = delete;

  // Sends `verb` with `text` as its argument, escaped and cut after a whole character to fit the
  // line; it must be answered with OK.
  void command(std::string_view verb, std::string_view text);

  // SETDESC with `reason`, and below it what a module says, unless that is what shows already.
  // The message keeps at most half the line, and the reason gives way first.
  void describe(std::string_view reason, std::string_view message);

  // Asks for the password, giving pinentry `left` to wait for it; how it went unanswered when the
  // user cancels, that time runs out, or `interrupt` becomes readable first (the dialog then
  // stays up until this object ends).
  std::variant<SecretString, Unanswered> getPin(std::chrono::seconds left, int interrupt);

  // Shows the description with one button and waits: true once the user dismisses it, false as
  // soon as `interrupt` becomes readable first. The dialog then stays up until this ends.
  bool confirmUnless(int interrupt);

 private:
  using Deadline = std::optional<std::chrono::steady_clock::time_point>;
  struct Reply {
    bool ok = false;
    unsigned code = 0;
    std::string text;
    bool interrupted = false;  // `interrupt` became readable before the reply came
  };

  void command(std::string_view line);
  void stop() noexcept;
  void send(std::string_view line);
  // The reply to the last command, by `deadline` when one is given; data lines go to `data`.
  Reply receive(SecretString* data, Deadline deadline, int interrupt);
  // Nothing when `interrupt` becomes readable first.
  std::optional<SecretString> readLine(Deadline deadline, int interrupt);
  // True once the socket has input, false once `interrupt` has; throws past the deadline.
  bool awaitInput(Deadline deadline, int interrupt) const;

  Descriptor socket_;
  pid_t child_ = -1;
  bool busy_ = false;  // a command is still unanswered, so BYE would not be read
  SecretString described_ = secretString(assuanLineLength);
  SecretString pending_;  // bytes read but not yet taken as a line; may hold the password
};

}  // namespace tarn::prompt
