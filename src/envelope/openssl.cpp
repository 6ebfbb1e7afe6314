#include "envelope/openssl.hpp"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/ecerr.h>
#include <openssl/err.h>

#include <array>
#include <string>

#include "envelope/envelope.hpp"

namespace tarn::envelope::openssl {

void fail(std::string_view otherwise) {
  const char* data = nullptr;
  int flags = 0;
  const unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags);
  ERR_clear_error();
  if (code == 0) throw CryptoError(std::string(otherwise));
  std::array<char, 256> text{};
  ERR_error_string_n(code, text.data(), text.size());
  std::string description = text.data();
  if ((flags & ERR_TXT_STRING) != 0 && data != nullptr && *data != '\0') {
    description += " (";
    description += data;
    description += ")";
  }
  throw CryptoError(description);
}

Pkey publicKey(const Point& point) {
  // OpenSSL would also take the compressed and hybrid forms; the envelope carries only 0x04.
  if (point[0] != 0x04) {
    ERR_raise(ERR_LIB_EC, EC_R_INVALID_ENCODING);
    fail("invalid encoding");
  }
  PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!context || EVP_PKEY_fromdata_init(context.get()) != 1) fail("EC key import failed");
  std::array<char, 11> group = {"prime256v1"};
  std::array<std::uint8_t, 65> encoded = point;
  const std::array<OSSL_PARAM, 3> params = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group.data(), 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, encoded.data(), encoded.size()),
      OSSL_PARAM_construct_end(),
  };
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY,
                        const_cast<OSSL_PARAM*>(params.data())) != 1) {
    fail("EC key import failed");
  }
  return Pkey(key);
}

Point point(EVP_PKEY* key) {
  Point encoded{};
  std::size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, encoded.data(),
                                      encoded.size(), &length) != 1 ||
      length != encoded.size() || encoded[0] != 0x04) {
    fail("EC public key export failed");
  }
  return encoded;
}

SecretBytes sharedSecret(EVP_PKEY* own, EVP_PKEY* peer) {
  PkeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, own, nullptr));
  // No second validation of the peer: every public key here came through publicKey().
  if (!context || EVP_PKEY_derive_init(context.get()) != 1 ||
      EVP_PKEY_derive_set_peer_ex(context.get(), peer, 0) != 1) {
    fail("ECDH failed");
  }
  SecretBytes secret(32);
  std::size_t length = secret.size();
  if (EVP_PKEY_derive(context.get(), secret.data(), &length) != 1 || length != secret.size()) {
    fail("ECDH failed");
  }
  return secret;
}

}  // namespace tarn::envelope::openssl
