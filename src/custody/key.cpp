#include "custody/key.hpp"

#include "base/failure.hpp"
#include "custody/key_file.hpp"

namespace tarn::custody {

platform::AccessControl access() {
  return {platform::AccessControl::privateKeyUsage | platform::AccessControl::userPresence};
}

Point publicKey(platform::SecureElement& element, const std::string& directory,
                          const std::string& keyFile) {
  // A key file that is there but unusable is an error, never a reason to make another key.
  if (auto stored = readKeyFile(keyFile)) return element.restore(*stored, nullptr)->publicKey();

  if (!element.isAvailable()) throw Failure("no-secure-enclave");
  auto key = element.create(access());
  createDirectories(directory);
  writeKeyFile(keyFile, key->dataRepresentation());
  return key->publicKey();
}

}  // namespace tarn::custody
