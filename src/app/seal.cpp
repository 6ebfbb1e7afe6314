#include "app/command.hpp"
#include "app/request.hpp"
#include "custody/key.hpp"
#include "envelope/envelope.hpp"

namespace tarn::app {

channel::Reply seal(const Invocation& invocation) {
  // The key comes first: the first run on a store makes it even when the request is unusable.
  const envelope::Recipient recipient(custody::publicKey(invocation.directory, invocation.keyFile));

  channel::Json request = channel::input();
  auto texts = channel::strings(lookup(request, "items"));
  channel::Json sealed = channel::Json::array();
  sealed.get_ref<channel::Json::array_t&>().reserve(texts.size());
  for (std::string_view text : texts) {
    std::string envelope = envelope::seal(text, recipient);
    sealed.push_back(SecretString(envelope.begin(), envelope.end()));
  }
  channel::Reply reply;
  reply.body["sealed"] = std::move(sealed);
  return reply;
}

}  // namespace tarn::app
