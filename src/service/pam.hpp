#pragma once

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>

#include "base/secret.hpp"

namespace tarn::service {

// The PAM service whose stack decides; a site may add modules to /etc/pam.d/tarn-wemb.
inline constexpr const char* pamService = "tarn-wemb";

// A module asks for an answer: a password when hidden, anything else when visible.
struct PamQuestion {
  std::string prompt;
  bool visible = false;
};

// A module tells the user something, often while it waits for a finger or a touch.
struct PamMessage {
  std::string text;
  bool error = false;
};

// The stack refused this round; the next round starts at its top again.
struct PamRefused {};

// The last event: whether the user proved presence and the account may be used now.
struct PamFinished {
  bool proven = false;
};

using PamEvent = std::variant<PamQuestion, PamMessage, PamRefused, PamFinished>;

// What the PAM thread and the prompt share; it lives as long as either needs it.
struct PamExchange;

// One authentication of `user`: pam_authenticate up to three rounds, then pam_acct_mgmt, on a
// thread of its own, because a module may wait for a finger or a touch outside any question.
// What the modules say arrives as events, in order; each PamQuestion waits for answer().
class PamAuthentication {
 public:
  explicit PamAuthentication(const std::string& user);
  // Waits for a thread that has finished; one still inside a module is told to give up and
  // left behind, since nothing can interrupt a module.
  ~PamAuthentication();
  PamAuthentication(const PamAuthentication&) = delete;
  PamAuthentication& operator=(const PamAuthentication&) = delete;

  // Readable while an event waits.
  int descriptor() const;
  // Whether an event waits.
  bool pending() const;
  // The next event; waits for it.
  PamEvent next();
  // Answers the PamQuestion last given out; nothing refuses to answer, and the round counts as
  // refused.
  void answer(std::optional<SecretString> text);

 private:
  std::shared_ptr<PamExchange> shared_;
  std::thread thread_;
  bool finished_ = false;
};

}  // namespace tarn::service
