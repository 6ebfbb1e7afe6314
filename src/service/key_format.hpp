#pragma once

#include <tss2/tss2_tpm2_types.h>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace tarn::service {

// FF 54 57 31: no TPM2B_PUBLIC is that long, so a key file of the old form never starts so.
inline constexpr std::array<std::uint8_t, 4> keyFileMark = {0xff, 0x54, 0x57, 0x31};
// The mark, the secret id, the salt.
inline constexpr std::size_t keyFileHeaderSize = 4 + 8 + 32;

// What a key file holds: mark || secret id || salt || TPM2B_PUBLIC || TPM2B_PRIVATE, nothing after.
struct KeyFile {
  std::array<std::uint8_t, 8> secretId{};
  std::array<std::uint8_t, 32> salt{};
  TPM2B_PUBLIC publicPart{};
  TPM2B_PRIVATE privatePart{};
};

// The stored form of `key`.
std::vector<std::uint8_t> keyFileBytes(const KeyFile& key);

// Refuses, with Failure, a key file of the old form or of a form this service does not know; the
// TPM parts' own errors as TpmError.
KeyFile parseKeyFile(std::span<const std::uint8_t> bytes);

}  // namespace tarn::service
