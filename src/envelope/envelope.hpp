#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "envelope/format.hpp"
#include "platform/key_agreement.hpp"
#include "platform/secret.hpp"

namespace tarn::envelope {

// An error of the cryptographic library; what() is OpenSSL's own description.
struct CryptoError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Seals `text` (its UTF-8 bytes as they stand) to `recipient`: the Base64 envelope.
std::string seal(std::string_view text, const platform::Point& recipient);

// HKDF-SHA256 of the shared secret with `salt` and info = first ‖ second: the 32-byte AES key.
// `first` is always the envelope's ephemeral key, `second` the recipient's.
SecretBytes symmetric(std::span<const std::uint8_t> sharedSecret, const platform::Point& first,
                      const platform::Point& second);

// The envelope's bytes after the structural checks that need no key; Failure "sealed-format".
std::vector<std::uint8_t> sealedData(std::string_view sealed);

// The text sealed in `sealed`, opened with `key`.
SecretString open(std::string_view sealed, platform::KeyAgreement& key);

}  // namespace tarn::envelope
