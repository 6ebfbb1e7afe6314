#include <cerrno>

#include "app/command.hpp"
#include "client/client.hpp"
#include "envelope/envelope.hpp"
#include "store/error.hpp"
#include "store/store.hpp"

namespace tarn::app {
namespace {

// The public half of the stored key, or of a new one the service makes and the store keeps.
Point ensureKey(const Invocation& invocation) {
  // A key file that is there but unusable is an error, never a reason to make another key.
  if (auto found = store::Store::open(invocation.directory, false)) {
    if (auto stored = found->readKey()) return client::checkKey(*stored);
  }
  client::requireSecureElement();
  // made and judged before the service's work, so a store that will be refused costs no key
  auto store = store::Store::open(invocation.directory, true);
  client::NewKey key = client::createKey();
  if (store->writeKey(key.file)) return key.point;
  // Another run stored its key first: every run seals to that one.
  auto winner = store->readKey();
  if (!winner) throw store::FileSystemError("cannot write", store->keyPath(), EEXIST);
  return client::checkKey(*winner);
}

}  // namespace

channel::Reply seal(const Invocation& invocation) {
  // The key comes first: the first run on a store makes it even when the request is unusable.
  const envelope::Recipient recipient(ensureKey(invocation));

  channel::Request request = channel::input();
  const auto& texts = request.items();
  channel::PublicTexts sealed;
  sealed.reserve(texts.size());
  for (std::string_view text : texts) sealed.push_back(envelope::seal(text, recipient));
  return channel::Reply("sealed", std::move(sealed));
}

}  // namespace tarn::app
