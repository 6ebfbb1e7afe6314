#include "app/command.hpp"
#include "app/request.hpp"
#include "custody/presence.hpp"

namespace tarn::app {

// Proves the user's presence and nothing else: no key file, no key.
channel::Reply verify(const Invocation&) {
  channel::Json request = channel::input();
  custody::confirmPresence(reason(request));
  channel::Reply reply;
  reply.body["ok"] = true;
  return reply;
}

}  // namespace tarn::app
