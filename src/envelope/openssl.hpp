#pragma once

// OpenSSL handles and errors of the envelope code.

#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string_view>

#include "base/point.hpp"
#include "base/secret.hpp"

namespace tarn::envelope::openssl {

// An error of the cryptographic library; what() is OpenSSL's own description.
struct CryptoError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

template <auto F>
struct Free {
  void operator()(auto* p) const noexcept { F(p); }
};

// EVP_PKEY_free wipes private keys; EVP_CIPHER_CTX_free and EVP_KDF_CTX_free wipe their keys.
using Pkey = std::unique_ptr<EVP_PKEY, Free<&EVP_PKEY_free>>;
using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, Free<&EVP_PKEY_CTX_free>>;
using Cipher = std::unique_ptr<EVP_CIPHER, Free<&EVP_CIPHER_free>>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, Free<&EVP_CIPHER_CTX_free>>;
using Kdf = std::unique_ptr<EVP_KDF, Free<&EVP_KDF_free>>;
using KdfContext = std::unique_ptr<EVP_KDF_CTX, Free<&EVP_KDF_CTX_free>>;

// Throws CryptoError with the description of the oldest error OpenSSL queued, or with
// `otherwise` when it queued none; the queue is left empty.
[[noreturn]] void fail(std::string_view otherwise);

// A P-256 public key from its uncompressed X9.63 form; CryptoError when the bytes are no such
// point on the curve.
Pkey publicKey(const Point& point);

// Whether `point` is the uncompressed X9.63 form of a point on P-256; queues no error.
bool onCurve(const Point& point);

// The P-256 key pair of the private scalar `scalar` (big-endian, from 1 to the group order − 1).
Pkey keyPair(std::span<const std::uint8_t, 32> scalar);

// The uncompressed X9.63 form of `key`'s public point.
Point point(EVP_PKEY* key);

// The X coordinate of the ECDH point of `own` (private) and `peer` (public, already checked).
SecretBytes sharedSecret(EVP_PKEY* own, EVP_PKEY* peer);

}  // namespace tarn::envelope::openssl
