#include "app/command.hpp"
#include "app/request.hpp"
#include "custody/key_file.hpp"
#include "custody/presence.hpp"
#include "envelope/envelope.hpp"
#include "platform/secure_element.hpp"

namespace tarn::app {

channel::Reply open(const Invocation& invocation) {
  channel::Request request = channel::input();
  const auto& items = request.items();
  SecretString why = reason(request);
  auto stored = custody::readKeyFile(invocation.keyFile);
  if (!stored) throw Failure("no-key");
  // Everything that can be refused without the user is refused before the prompt.
  for (std::string_view item : items) envelope::sealedData(item);

  auto presence = custody::confirmPresence(why);
  auto element = platform::tpm();
  auto key = element->restore(*stored, &presence);
  channel::Texts texts;
  texts.reserve(items.size());
  for (std::string_view item : items) {
    texts.push_back(envelope::open(item, key->publicKey(),
                                   [&](const Point& peer) { return key->sharedSecret(peer); }));
  }
  return channel::Reply("items", std::move(texts));
}

}  // namespace tarn::app
