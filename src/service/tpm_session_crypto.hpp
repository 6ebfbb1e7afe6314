#pragma once

#include <tss2/tss2_tpm2_types.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "base/secret.hpp"

// The arithmetic of a TPM 2.0 HMAC session with SHA-256 and AES-128-CFB, as TPM 2.0's own
// definitions give it: KDFa, KDFe, cpHash and rpHash, the session HMAC, parameter encryption.
namespace tarn::service {

using Digest = std::array<std::uint8_t, 32>;
using Bytes = std::span<const std::uint8_t>;

// SHA-256 of the parts one after the other.
Digest sha256(std::initializer_list<Bytes> parts);

// HMAC-SHA256 under `key` of the parts one after the other.
Digest hmacSha256(Bytes key, std::initializer_list<Bytes> parts);

// KDFa with SHA-256: `bits` of HMAC counter-mode output; `label` is used with its terminating NUL.
SecretBytes kdfa(Bytes key, std::string_view label, Bytes contextU, Bytes contextV,
                 std::uint32_t bits);

// KDFe with SHA-256 (SP 800-56A's one-step KDF): `bits` from the ECDH secret `z`.
SecretBytes kdfe(Bytes z, std::string_view label, Bytes partyU, Bytes partyV, std::uint32_t bits);

// cpHash: the command code, the names of the command's handles, its parameters.
Digest commandHash(TPM2_CC code, Bytes names, Bytes parameters);

// rpHash of a successful response: its code (zero), the command code, its parameters.
Digest responseHash(TPM2_CC code, Bytes parameters);

// A command's or response's HMAC: pHash, the newer and older nonce, the session's attributes.
Digest sessionHmac(Bytes sessionValue, const Digest& parameterHash, Bytes nonceNewer,
                   Bytes nonceOlder, TPMA_SESSION attributes);

// Undoes the session's AES-128-CFB over `data` in place, keyed by KDFa(sessionValue, "CFB").
void decryptParameter(Bytes sessionValue, Bytes nonceNewer, Bytes nonceOlder,
                      std::span<std::uint8_t> data);

// A salt for a session salted with the ECC key whose public point is `point`: the salt, and what
// tells the TPM it (an ephemeral point; both ECDH halves go through KDFe "SECRET").
struct Salt {
  SecretBytes value;
  TPM2B_ENCRYPTED_SECRET encrypted;
};
Salt saltFor(const TPMS_ECC_POINT& point);

}  // namespace tarn::service
