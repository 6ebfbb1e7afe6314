#include "custody/key.hpp"

#include <cerrno>

#include "base/failure.hpp"
#include "store/key_file.hpp"

namespace tarn::custody {

Point publicKey(const std::string& directory, const std::string& keyFile) {
  platform::Tpm tpm;
  // A key file that is there but unusable is an error, never a reason to make another key.
  // Loading it proves this TPM can use it.
  if (auto stored = store::readKeyFile(keyFile)) return tpm.load(*stored).publicKey();

  if (!tpm.isAvailable()) throw Failure("no-secure-enclave");
  store::checkStoreDirectory(directory);
  platform::NewKey key = tpm.create();
  store::createDirectories(directory);
  // again: the directory may have appeared, someone else's, since it was first looked at
  store::checkStoreDirectory(directory);
  if (store::writeKeyFile(keyFile, key.blob)) return key.publicKey;

  // Another run stored its key first: every run seals to that one.
  auto winner = store::readKeyFile(keyFile);
  if (!winner) throw store::FileSystemError("cannot write", keyFile, EEXIST);
  return tpm.load(*winner).publicKey();
}

std::vector<std::uint8_t> storedKey(const std::string& keyFile) {
  auto stored = store::readKeyFile(keyFile);
  if (!stored) throw Failure("no-key");
  return std::move(*stored);
}

Key::Key(const std::vector<std::uint8_t>& stored) : key_(tpm_.load(stored)) {}

}  // namespace tarn::custody
