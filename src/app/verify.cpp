#include "app/command.hpp"
#include "app/request.hpp"
#include "custody/authenticate.hpp"

namespace tarn::app {

// Proves the user's presence and nothing else: no key file, no key.
channel::Reply verify(const Invocation&) {
  channel::Request request = channel::input();
  SecretString why = reason(request);
  custody::authenticate(std::string(why)).reset();
  return channel::Reply("ok", true);
}

}  // namespace tarn::app
