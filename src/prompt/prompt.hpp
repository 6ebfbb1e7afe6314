#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include "base/secret.hpp"
#include "prompt/pinentry.hpp"

namespace tarn::prompt {

// Nobody can be asked: no pinentry, nowhere to show it, or no account. what() says which.
struct PromptUnavailable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The user cancelled the prompt.
struct PromptCancelled : std::runtime_error {
  PromptCancelled() : std::runtime_error("the prompt was cancelled") {}
};

// What the PAM stack asks and says, as it reaches us.
struct Question {  // a password when hidden, anything else when visible
  std::string prompt;
  bool visible = false;
};
struct Message {  // often while a module waits for a finger or a touch
  std::string text;
  bool warning = false;
};
struct Refused {};   // that round failed; the next starts at the top of the stack
struct Started {};   // the stack runs: from here on, silence is a module waiting
struct Finished {};  // the user is present
using Event = std::variant<Question, Message, Refused, Started, Finished>;

// The other end of one authentication.
class Conversation {
 public:
  virtual ~Conversation() = default;
  // Readable when an event may have come.
  virtual int descriptor() const = 0;
  // Whether an event has come.
  virtual bool pending() = 0;
  // The next event; waits for it. Throws when the other end refuses.
  virtual Event next() = 0;
  // Answers the last Question; nothing refuses to answer it.
  virtual void answer(std::optional<SecretString> text) = 0;
};

// Everything a prompt needs, found before anyone is asked.
struct Setup {
  std::string program;
  PromptPlace place;
  std::string asker;  // the asking program's path, empty when the kernel would not say
};

// Throws PromptUnavailable when nobody can be asked, saying what is missing.
Setup setup();

// Shows what `conversation` asks and says, under who asks and `reason`, in pinentry until it
// finishes; a question waits until `deadline` at most. Throws PromptCancelled when the user or
// pinentry's time cancels, and any other exception for a pinentry that fails or a conversation
// that refuses. A conversation that speaks while a question is up takes the dialog down.
void converse(const Setup& setup, const SecretString& reason, Conversation& conversation,
              std::chrono::steady_clock::time_point deadline);

}  // namespace tarn::prompt
