#include "app/command.hpp"
#include "custody/key.hpp"
#include "envelope/envelope.hpp"

namespace tarn::app {

channel::Reply seal(const Invocation& invocation) {
  // The key comes first: the first run on a store makes it even when the request is unusable.
  const envelope::Recipient recipient(custody::publicKey(invocation.directory));

  channel::Request request = channel::input();
  const auto& texts = request.items();
  channel::PublicTexts sealed;
  sealed.reserve(texts.size());
  for (std::string_view text : texts) sealed.push_back(envelope::seal(text, recipient));
  return channel::Reply("sealed", std::move(sealed));
}

}  // namespace tarn::app
