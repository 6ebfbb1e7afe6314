#include <cerrno>

#include "app/command.hpp"
#include "client/client.hpp"
#include "custody/key_file.hpp"
#include "envelope/envelope.hpp"

namespace tarn::app {
namespace {

// The public half of the stored key, or of a new one the service makes and the store keeps.
Point ensureKey(const Invocation& invocation) {
  // A key file that is there but unusable is an error, never a reason to make another key.
  if (auto stored = custody::readKeyFile(invocation.keyFile)) return client::checkKey(*stored);
  custody::checkStoreDirectory(invocation.directory);
  client::NewKey key = client::createKey();
  custody::createDirectories(invocation.directory);
  // again: the directory may have appeared, someone else's, since it was first looked at
  custody::checkStoreDirectory(invocation.directory);
  if (custody::writeKeyFile(invocation.keyFile, key.file)) return key.point;
  // Another run stored its key first: every run seals to that one.
  auto winner = custody::readKeyFile(invocation.keyFile);
  if (!winner) throw custody::FileSystemError("cannot write", invocation.keyFile, EEXIST);
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
