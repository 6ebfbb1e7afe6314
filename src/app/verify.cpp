#include "app/command.hpp"
#include "app/request.hpp"
#include "custody/authenticate.hpp"

namespace tarn::app {

// Proves the user's presence and nothing else: no key file, no key.
channel::Reply verify(const Invocation&) {
  channel::Json request = channel::input();
  custody::authenticate(reason(request)).reset();
  channel::Reply reply;
  reply.body["ok"] = true;
  return reply;
}

}  // namespace tarn::app
