#include <span>
#include <vector>

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
  const auto stored = custody::storedKey(invocation.keyFile);
  // Everything that can be refused without the user is refused before the prompt.
  std::vector<envelope::Sealed> sealed;
  sealed.reserve(items.size());
  for (std::string_view item : items) sealed.push_back(envelope::parse(item));
  custody::Key key(stored);

  auto presence = custody::confirmPresence(why);
  std::vector<SecretBytes> secrets;
  secrets.reserve(sealed.size());
  for (const envelope::Sealed& one : sealed) {
    secrets.push_back(key.sharedSecret(one.ephemeral, presence));
  }
  channel::Texts texts;
  texts.reserve(sealed.size());
  for (std::size_t i = 0; i < sealed.size(); ++i) {
    texts.push_back(envelope::open(sealed[i], key.publicKey(), std::span(secrets[i]).first<32>()));
  }
  return channel::Reply("items", std::move(texts));
}

}  // namespace tarn::app
