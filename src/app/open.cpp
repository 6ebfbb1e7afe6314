#include "app/command.hpp"
#include "app/request.hpp"
#include "custody/authenticate.hpp"
#include "custody/key_file.hpp"
#include "envelope/envelope.hpp"
#include "platform/secure_element.hpp"

namespace tarn::app {

channel::Reply open(const Invocation& invocation) {
  channel::Json request = channel::input();
  auto items = channel::strings(lookup(request, "items"));
  std::string why = reason(request);
  auto stored = custody::readKeyFile(invocation.keyFile);
  if (!stored) throw Failure("no-key");
  // Everything that can be refused without the user is refused before the prompt.
  for (std::string_view item : items) envelope::sealedData(item);

  auto context = custody::authenticate(why);
  auto element = platform::tpm();
  auto key = element->restore(*stored, context.get());
  channel::Json texts = channel::Json::array();
  texts.get_ref<channel::Json::array_t&>().reserve(items.size());
  for (std::string_view item : items)
    texts.push_back(envelope::open(item, key->publicKey(),
                                   [&](const Point& peer) { return key->sharedSecret(peer); }));
  channel::Reply reply;
  reply.body["items"] = std::move(texts);
  return reply;
}

}  // namespace tarn::app
