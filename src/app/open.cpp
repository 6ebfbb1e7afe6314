#include "app/command.hpp"
#include "app/request.hpp"
#include "base/failure.hpp"
#include "client/client.hpp"
#include "envelope/envelope.hpp"
#include "store/store.hpp"

namespace tarn::app {

channel::Reply open(const Invocation& invocation) {
  channel::Request request = channel::input();
  const auto& items = request.items();
  SecretString why = reason(request);
  auto found = store::Store::open(invocation.directory, false);
  auto stored = found ? found->readKey() : std::nullopt;
  if (!stored) throw Failure("no-key");
  // Everything that can be refused without the user is refused before the prompt.
  std::vector<envelope::Sealed> sealed;
  sealed.reserve(items.size());
  for (std::string_view item : items) sealed.push_back(envelope::parse(item));
  std::vector<Point> points;
  points.reserve(sealed.size());
  for (const envelope::Sealed& one : sealed) points.push_back(one.ephemeral);

  client::Agreement agreement = client::agree(*stored, points, why);
  channel::Texts texts;
  texts.reserve(sealed.size());
  for (std::size_t i = 0; i < sealed.size(); ++i) {
    texts.push_back(envelope::open(sealed[i], agreement.recipient,
                                   std::span(agreement.secrets[i]).first<32>()));
  }
  return channel::Reply("items", std::move(texts));
}

}  // namespace tarn::app
