#include "custody/key.hpp"

#include <cerrno>

#include "base/failure.hpp"
#include "store/error.hpp"
#include "store/store.hpp"

namespace tarn::custody {

Point publicKey(const std::string& directory) {
  platform::Tpm tpm;
  // A key file that is there but unusable is an error, never a reason to make another key.
  // Loading it proves this TPM can use it.
  if (auto found = store::Store::open(directory, false)) {
    if (auto stored = found->readKey()) return tpm.load(*stored).publicKey();
  }

  if (!tpm.isAvailable()) throw Failure("no-secure-enclave");
  // made and judged before the TPM's work, so a store that will be refused costs no key
  auto store = store::Store::open(directory, true);
  platform::NewKey key = tpm.create();
  if (store->writeKey(key.blob)) return key.publicKey;

  // Another run stored its key first: every run seals to that one.
  auto winner = store->readKey();
  if (!winner) throw store::FileSystemError("cannot write", store->keyPath(), EEXIST);
  return tpm.load(*winner).publicKey();
}

std::vector<std::uint8_t> storedKey(const std::string& directory) {
  auto found = store::Store::open(directory, false);
  auto stored = found ? found->readKey() : std::nullopt;
  if (!stored) throw Failure("no-key");
  return std::move(*stored);
}

Key::Key(const std::vector<std::uint8_t>& stored) : key_(tpm_.load(stored)) {}

}  // namespace tarn::custody
