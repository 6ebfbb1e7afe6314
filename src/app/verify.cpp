#include "app/command.hpp"
#include "app/request.hpp"
#include "custody/presence.hpp"

namespace tarn::app {

// Proves the user's presence and nothing else: no key file, no key.
channel::Reply verify(const Invocation&) {
  channel::Request request = channel::input();
  custody::confirmPresence(reason(request));
  return channel::Reply("ok", true);
}

}  // namespace tarn::app
