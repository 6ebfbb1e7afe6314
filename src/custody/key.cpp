#include "custody/key.hpp"

#include <unistd.h>

#include <cerrno>

#include "base/failure.hpp"
#include "custody/key_file.hpp"

namespace tarn::custody {

Point publicKey(const std::string& directory, const std::string& keyFile) {
  service::Tpm tpm;
  const auto secret = service::ServiceSecret::read();
  // A key file that is there but unusable is an error, never a reason to make another key.
  // Loading it proves this TPM can use it.
  if (auto stored = readKeyFile(keyFile)) {
    return service::loadKey(tpm, *stored, secret, ::getuid()).point();
  }

  if (!tpm.isAvailable()) throw Failure("no-secure-enclave");
  checkStoreDirectory(directory);
  const service::MadeKey key = service::makeKey(tpm, secret, ::getuid());
  createDirectories(directory);
  // again: the directory may have appeared, someone else's, since it was first looked at
  checkStoreDirectory(directory);
  if (writeKeyFile(keyFile, key.file)) return key.point;

  // Another run stored its key first: every run seals to that one.
  auto winner = readKeyFile(keyFile);
  if (!winner) throw FileSystemError("cannot write", keyFile, EEXIST);
  return service::loadKey(tpm, *winner, secret, ::getuid()).point();
}

std::vector<std::uint8_t> storedKey(const std::string& keyFile) {
  auto stored = readKeyFile(keyFile);
  if (!stored) throw Failure("no-key");
  return std::move(*stored);
}

Key::Key(const std::vector<std::uint8_t>& stored)
    : key_(service::loadKey(tpm_, stored, service::ServiceSecret::read(), ::getuid())) {}

}  // namespace tarn::custody
