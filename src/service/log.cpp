#include "service/log.hpp"

#include <syslog.h>

#include <string>

namespace tarn::service {

void record(const Peer& peer, std::string_view call, std::size_t items, std::string_view outcome) {
  ::openlog("tarn-wemb-custody", LOG_PID, LOG_AUTHPRIV);
  const std::string what(call), how(outcome);
  ::syslog(LOG_AUTHPRIV | (outcome == "present" ? LOG_INFO : LOG_NOTICE),
           "uid=%u user=%s call=%s items=%zu outcome=%s", static_cast<unsigned>(peer.uid),
           peer.name.c_str(), what.c_str(), items, how.c_str());
}

}  // namespace tarn::service
