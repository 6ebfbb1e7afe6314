#include "app/command.hpp"
#include "app/request.hpp"
#include "custody/key.hpp"
#include "custody/presence.hpp"
#include "envelope/envelope.hpp"

namespace tarn::app {

channel::Reply open(const Invocation& invocation) {
  channel::Request request = channel::input();
  const auto& items = request.items();
  SecretString why = reason(request);
  const auto stored = custody::storedKey(invocation.directory);
  // Everything that can be refused without the user is refused before the prompt.
  for (std::string_view item : items) envelope::sealedData(item);
  custody::Key key(stored);

  auto presence = custody::confirmPresence(why);
  channel::Texts texts;
  texts.reserve(items.size());
  for (std::string_view item : items) {
    texts.push_back(envelope::open(item, key.publicKey(), [&](const Point& peer) {
      return key.sharedSecret(peer, presence);
    }));
  }
  return channel::Reply("items", std::move(texts));
}

}  // namespace tarn::app
