#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "base/secret.hpp"

namespace tarn::platform {

// Assuan's limit on one line, without its line feed; longer lines are refused by pinentry.
inline constexpr std::size_t assuanLineLength = 1000;

// Where a prompt can appear: a graphical session, a terminal, or both.
struct PromptPlace {
  bool display = false;
  std::string terminal;  // empty: no terminal
  std::string termType;  // TERM, for curses on that terminal
};

// Text for one Assuan argument: '%' and every control byte as %XX, the rest as it is.
std::string assuanEscape(std::string_view text);

// Appends the decoded `text` to `out`; false when an escape is malformed.
bool assuanUnescape(std::string_view text, SecretString& out);

// One running pinentry and our side of its Assuan conversation.
class Pinentry {
 public:
  // Starts `program`, reads its greeting and tells it where to draw.
  Pinentry(const std::string& program, const PromptPlace& place);
  ~Pinentry();
  Pinentry(const Pinentry&) = delete;
  Pinentry& operator=(const Pinentry&) = delete;

  // Sends a command that must be answered with OK.
  void command(std::string_view line);

  // Asks for the password; throws AuthError userCancel when the user cancels.
  SecretString getPin();

 private:
  struct Reply {
    bool ok = false;
    unsigned long code = 0;
    std::string text;
  };

  void stop() noexcept;
  void send(std::string_view line);
  Reply receive(SecretString* data);
  SecretString readLine();

  int socket_ = -1;
  pid_t child_ = -1;
  SecretString pending_;  // bytes read but not yet taken as a line; may hold the password
};

}  // namespace tarn::platform
