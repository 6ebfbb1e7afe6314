#include "service/key_format.hpp"

#include <tss2/tss2_mu.h>

#include <algorithm>
#include <string>

#include "base/failure.hpp"
#include "service/tpm_esys.hpp"

namespace tarn::service {

std::vector<std::uint8_t> keyFileBytes(const KeyFile& key) {
  std::vector<std::uint8_t> bytes(keyFileHeaderSize + sizeof(TPM2B_PUBLIC) + sizeof(TPM2B_PRIVATE));
  auto at = std::ranges::copy(keyFileMark, bytes.begin()).out;
  at = std::ranges::copy(key.secretId, at).out;
  std::ranges::copy(key.salt, at);
  std::size_t offset = keyFileHeaderSize;
  check(Tss2_MU_TPM2B_PUBLIC_Marshal(&key.publicPart, bytes.data(), bytes.size(), &offset));
  check(Tss2_MU_TPM2B_PRIVATE_Marshal(&key.privatePart, bytes.data(), bytes.size(), &offset));
  bytes.resize(offset);
  return bytes;
}

KeyFile parseKeyFile(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < keyFileHeaderSize || bytes[0] != keyFileMark[0]) {
    throw Failure("the key file is of an old form: move it away and seal again");
  }
  if (!std::ranges::equal(bytes.first(keyFileMark.size()), keyFileMark)) {
    throw Failure("the key file is of a form this service does not know");
  }
  KeyFile key;
  std::ranges::copy(bytes.subspan(4, key.secretId.size()), key.secretId.begin());
  std::ranges::copy(bytes.subspan(12, key.salt.size()), key.salt.begin());
  std::size_t offset = keyFileHeaderSize;
  check(Tss2_MU_TPM2B_PUBLIC_Unmarshal(bytes.data(), bytes.size(), &offset, &key.publicPart));
  check(Tss2_MU_TPM2B_PRIVATE_Unmarshal(bytes.data(), bytes.size(), &offset, &key.privatePart));
  if (offset != bytes.size()) {
    throw TpmError("the key data has " + std::to_string(bytes.size() - offset) +
                   " bytes after its private part");
  }
  return key;
}

}  // namespace tarn::service
