#include "service/log.hpp"

#include <syslog.h>

#include <string>

#include "base/text.hpp"

namespace tarn::service {
namespace {

// As many characters as the dialog shows of it; a control character could fake a line of its own.
constexpr std::size_t maxAsker = 150;

}  // namespace

void record(const Peer& peer, std::string_view call, std::size_t items, std::string_view outcome,
            std::string_view asker) {
  ::openlog("tarn-wemb-custody", LOG_PID, LOG_AUTHPRIV);
  const std::string what(call), how(outcome);
  const std::string who = oneLine(asker, maxAsker);
  // the asker last: a path may hold blanks
  ::syslog(LOG_AUTHPRIV | (outcome == "present" ? LOG_INFO : LOG_NOTICE),
           "uid=%u user=%s call=%s items=%zu outcome=%s asker=%s", static_cast<unsigned>(peer.uid),
           peer.name.c_str(), what.c_str(), items, how.c_str(), who.empty() ? "-" : who.c_str());
}

}  // namespace tarn::service
