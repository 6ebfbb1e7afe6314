#pragma once

// The inside of sealing, open to the known-answer tests: sealing with a given ephemeral key and
// nonce is the same code path that seal() runs with fresh ones.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "envelope/envelope.hpp"
#include "envelope/openssl.hpp"

namespace tarn::envelope {

struct Recipient::Parts {
  openssl::Pkey key;
  // Made once per recipient: set up anew for each text, it doubles the cost of key generation.
  openssl::PkeyContext keygen;
};

namespace detail {

// An ephemeral P-256 key whose published point is compact (Y is at most p − Y). `point` is
// d·G or −d·G for the scalar d in `key`: either gives the recipient the same shared secret.
struct Ephemeral {
  openssl::Pkey key;
  Point point;
};

// A fresh random ephemeral key, generated with `keygen` (a P-256 key-generation context).
Ephemeral ephemeral(EVP_PKEY_CTX* keygen);

// The ephemeral key with the private scalar `scalar` (32 bytes, big-endian, 0 < scalar < n).
Ephemeral ephemeral(std::span<const std::uint8_t, 32> scalar);

// The sealed string of `text` with the given ephemeral key and nonce.
// Failure "seal" when the nonce is not 12 bytes, which leaves the box no combined form.
std::string seal(std::string_view text, const Recipient& recipient, const Ephemeral& ephemeral,
                 std::span<const std::uint8_t> nonce);

// HKDF-SHA256 (RFC 5869) of `ikm` with `salt` and `info`, filling `okm`.
void hkdf(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
          std::span<const std::uint8_t> info, std::span<std::uint8_t> okm);

// True when `bytes` are well-formed UTF-8: shortest forms, no surrogates, nothing past U+10FFFF.
bool utf8(std::span<const std::uint8_t> bytes);

}  // namespace detail
}  // namespace tarn::envelope
