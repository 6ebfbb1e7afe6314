#include "app/command.hpp"
#include "client/client.hpp"
#include "store/store.hpp"

namespace tarn::app {

// Looks, never touches: no standard input, nothing created, no failure.
channel::Reply status(const Invocation& invocation) {
  bool enclave = client::secureElementAvailable();
  bool key = store::Store::holdsKey(invocation.directory);
  channel::Reply reply("key", key);
  reply.add("secureEnclave", enclave);
  return reply;
}

}  // namespace tarn::app
