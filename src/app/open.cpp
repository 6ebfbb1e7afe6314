#include <algorithm>

#include "app/command.hpp"
#include "app/request.hpp"
#include "base/failure.hpp"
#include "client/client.hpp"
#include "envelope/envelope.hpp"
#include "envelope/format.hpp"
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
  std::vector<Point> points;
  points.reserve(items.size());
  for (std::string_view item : items) {
    auto bytes = envelope::sealedData(item);
    Point& point = points.emplace_back();
    std::copy_n(bytes.begin() + 1, point.size(), point.begin());
  }
  client::Agreement agreement = client::agree(*stored, points, why);
  channel::Texts texts;
  texts.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    texts.push_back(envelope::open(items[i], agreement.recipient,
                                   [&](const Point&) { return agreement.secrets[i]; }));
  }
  return channel::Reply("items", std::move(texts));
}

}  // namespace tarn::app
