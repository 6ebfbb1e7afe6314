#include "envelope/openssl.hpp"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/ecerr.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>

#include <algorithm>
#include <array>
#include <bit>
#include <string>

namespace tarn::envelope::openssl {
namespace {

using Group = std::unique_ptr<EC_GROUP, Free<&EC_GROUP_free>>;
using EcPoint = std::unique_ptr<EC_POINT, Free<&EC_POINT_free>>;
using Number = std::unique_ptr<BIGNUM, Free<&BN_clear_free>>;

// Made once: every sealed string of a request has its point checked against it, and it is only
// read after that.
const EC_GROUP* p256() {
  static const Group group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  if (!group) fail("P-256 set-up failed");
  return group.get();
}

}  // namespace

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

bool onCurve(const Point& point) {
  // the other forms would parse too, but only 0x04 is an envelope's
  if (point[0] != 0x04) return false;
  const EC_GROUP* group = p256();
  ERR_set_mark();
  const EcPoint decoded(EC_POINT_new(group));
  // the uncompressed form is refused unless both coordinates are below p and on the curve
  const bool on =
      decoded && EC_POINT_oct2point(group, decoded.get(), point.data(), point.size(), nullptr) == 1;
  ERR_pop_to_mark();
  return on;
}

Pkey keyPair(std::span<const std::uint8_t, 32> scalar) {
  const EC_GROUP* group = p256();
  const Number d(BN_secure_new());
  const EcPoint q(EC_POINT_new(group));
  Point pub{};
  if (!d || !q || !BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), d.get()) ||
      BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group)) >= 0 ||
      EC_POINT_mul(group, q.get(), d.get(), nullptr, nullptr, nullptr) != 1 ||
      EC_POINT_point2oct(group, q.get(), POINT_CONVERSION_UNCOMPRESSED, pub.data(), pub.size(),
                         nullptr) != pub.size()) {
    fail("EC private key import failed");
  }
  // OSSL_PARAM integers are in the machine's byte order
  std::array<std::uint8_t, 32> native{};
  if constexpr (std::endian::native == std::endian::little) {
    std::ranges::reverse_copy(scalar, native.begin());
  } else {
    std::ranges::copy(scalar, native.begin());
  }
  std::array<char, 11> curve = {"prime256v1"};
  const std::array<OSSL_PARAM, 4> params = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, curve.data(), 0),
      OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_PRIV_KEY, native.data(), native.size()),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size()),
      OSSL_PARAM_construct_end(),
  };
  const PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* key = nullptr;
  const bool made = context && EVP_PKEY_fromdata_init(context.get()) == 1 &&
                    EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_KEYPAIR,
                                      const_cast<OSSL_PARAM*>(params.data())) == 1;
  OPENSSL_cleanse(native.data(), native.size());
  if (!made) fail("EC private key import failed");
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
