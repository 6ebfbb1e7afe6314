#pragma once

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>

#include "base/secret.hpp"

namespace tarn::service::pam {

// The PAM service whose stack decides; a site may add modules to /etc/pam.d/tarn-wemb.
inline constexpr const char* service = "tarn-wemb";

// A module asks for an answer: a password when hidden, anything else when visible.
struct Question {
  std::string prompt;
  bool visible = false;
};

// A module tells the user something, often while it waits for a finger or a touch.
struct Message {
  std::string text;
  bool error = false;
};

// The stack refused this round; the next round starts at its top again.
struct Refused {};

// The last event: whether the user proved presence and the account may be used now.
struct Finished {
  bool proven = false;
};

using Event = std::variant<Question, Message, Refused, Finished>;

// What the PAM thread and the prompt share; it lives as long as either needs it.
struct Exchange;

// One authentication of `user`: pam_authenticate up to three rounds, then pam_acct_mgmt, on a
// thread of its own, because a module may wait for a finger or a touch outside any question.
// What the modules say arrives as events, in order; each Question waits for answer().
class Authentication {
 public:
  explicit Authentication(const std::string& user);
  // Waits for a thread that has finished; one still inside a module is told to give up and
  // left behind, since nothing can interrupt a module.
  ~Authentication();
  Authentication(const Authentication&) = delete;
  Authentication& operator=(const Authentication&) = delete;

  // Readable while an event waits.
  int descriptor() const;
  // Whether an event waits.
  bool pending() const;
  // The next event; waits for it.
  Event next();
  // Answers the Question last given out; nothing refuses to answer, and the round counts as
  // refused.
  void answer(std::optional<SecretString> text);

 private:
  std::shared_ptr<Exchange> shared_;
  std::thread thread_;
  bool finished_ = false;
};

}  // namespace tarn::service::pam
