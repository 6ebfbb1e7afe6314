#include "app/command.hpp"
#include "app/request.hpp"
#include "custody/key.hpp"
#include "custody/presence.hpp"
#include "envelope/envelope.hpp"

namespace tarn::app {

channel::Reply open(const Invocation& invocation) {
  channel::Json request = channel::input();
  auto items = channel::strings(lookup(request, "items"));
  std::string why = reason(request);
  const auto stored = custody::storedKey(invocation.keyFile);
  // Everything that can be refused without the user is refused before the prompt.
  for (std::string_view item : items) envelope::sealedData(item);
  custody::Key key(stored);

  auto presence = custody::confirmPresence(why);
  const auto agree = [&](const Point& ephemeral) { return key.sharedSecret(ephemeral, presence); };
  channel::Json texts = channel::Json::array();
  texts.get_ref<channel::Json::array_t&>().reserve(items.size());
  for (std::string_view item : items) texts.push_back(envelope::open(item, key.publicKey(), agree));
  channel::Reply reply;
  reply.body["items"] = std::move(texts);
  return reply;
}

}  // namespace tarn::app
