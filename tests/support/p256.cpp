#include "support/p256.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <memory>
#include <stdexcept>

#include "envelope/openssl.hpp"

namespace tarn::test::p256 {
namespace {

using envelope::openssl::Free;
using EvpPkey = envelope::openssl::Pkey;
using EvpPkeyCtx = envelope::openssl::PkeyContext;
using Bignum = std::unique_ptr<BIGNUM, Free<&BN_free>>;
using Group = std::unique_ptr<EC_GROUP, Free<&EC_GROUP_free>>;
using EcPoint = std::unique_ptr<EC_POINT, Free<&EC_POINT_free>>;

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

EvpPkey publicKey(const Point& point) {
  EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("P-256"), 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                        const_cast<std::uint8_t*>(point.data()), point.size()),
      OSSL_PARAM_construct_end()};
  EVP_PKEY* key = nullptr;
  require(ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
              EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) == 1,
          "peer point");
  return EvpPkey(key);
}

}  // namespace

Agreement agree(const Point& peer) {
  EvpPkey mine(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  require(mine != nullptr, "keygen");
  Agreement out;
  std::size_t length = 0;
  require(EVP_PKEY_get_octet_string_param(mine.get(), OSSL_PKEY_PARAM_PUB_KEY, out.ephemeral.data(),
                                          out.ephemeral.size(), &length) == 1 &&
              length == out.ephemeral.size(),
          "public point");
  EvpPkey theirs = publicKey(peer);
  EvpPkeyCtx derive(EVP_PKEY_CTX_new(mine.get(), nullptr));
  out.sharedSecret.resize(32);
  length = out.sharedSecret.size();
  require(derive && EVP_PKEY_derive_init(derive.get()) == 1 &&
              EVP_PKEY_derive_set_peer(derive.get(), theirs.get()) == 1 &&
              EVP_PKEY_derive(derive.get(), out.sharedSecret.data(), &length) == 1 && length == 32,
          "derive");
  return out;
}

bool onCurve(const Point& point) {
  Group group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  EcPoint decoded(EC_POINT_new(group.get()));
  return EC_POINT_oct2point(group.get(), decoded.get(), point.data(), point.size(), nullptr) == 1 &&
         EC_POINT_is_on_curve(group.get(), decoded.get(), nullptr) == 1;
}

bool compact(const Point& point) {
  Group group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  Bignum p(BN_new()), y(BN_bin2bn(point.data() + 33, 32, nullptr)), other(BN_new());
  require(EC_GROUP_get_curve(group.get(), p.get(), nullptr, nullptr, nullptr) == 1 &&
              BN_sub(other.get(), p.get(), y.get()) == 1,
          "curve");
  return BN_cmp(y.get(), other.get()) < 0;
}

}  // namespace tarn::test::p256
