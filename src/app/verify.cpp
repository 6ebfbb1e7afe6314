#include "app/command.hpp"
#include "app/request.hpp"
#include "client/client.hpp"

namespace tarn::app {

// Proves the user's presence and nothing else: no key file, no key.
channel::Reply verify(const Invocation&) {
  channel::Request request = channel::input();
  client::confirmPresence(reason(request));
  return channel::Reply("ok", true);
}

}  // namespace tarn::app
