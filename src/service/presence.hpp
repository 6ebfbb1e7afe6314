#pragma once

#include <sys/types.h>

#include <chrono>

#include "base/io.hpp"
#include "service/peer.hpp"
#include "wire/wire.hpp"

namespace tarn::service {

enum class Verdict : char {
  present = 'Y',  // PAM proved the user present and the account usable
  denied = 'N',   // PAM said no
  gone = 'C',     // the command went away: the user cancelled, or it was killed
  late = 'T',     // the prompt took longer than it may
  failed = 'E',   // the conversation broke
};

// PAM for the peer's account, in a child process forked before anything secret is read: the
// modules run where neither the service secret nor a key's authorization ever was.
class PresenceCheck {
 public:
  // Forks now; the child waits until run(), then may take `limit` for the whole prompt.
  PresenceCheck(wire::Link& link, const Peer& peer, std::chrono::seconds limit);
  // A child never told to go is ended without having asked anything.
  ~PresenceCheck();
  PresenceCheck(const PresenceCheck&) = delete;
  PresenceCheck& operator=(const PresenceCheck&) = delete;

  // The child converses with the command over the link; its verdict.
  Verdict run();

 private:
  std::chrono::seconds limit_;
  pid_t child_ = -1;
  Descriptor go_;       // we write one byte: start
  Descriptor verdict_;  // the child writes one byte: how it went
};

}  // namespace tarn::service
