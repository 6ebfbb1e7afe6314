#include "service/tpm_session_crypto.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <tss2/tss2_mu.h>

#include "envelope/openssl.hpp"
#include "service/tpm_esys.hpp"
#include "service/tpm_templates.hpp"

namespace tarn::service {
namespace {

namespace openssl = envelope::openssl;

void need(bool ok) {
  if (!ok) throw TpmError("the session's cryptography failed");
}

// OpenSSL 3 looks an algorithm up by name, through locks and string compares, every time one is
// fetched: each is fetched once here, and the contexts are reused. The service calls them from
// one thread.
struct Algorithms {
  Algorithms() {
    need(digest && hmac && cipher && digestContext && cipherContext && hmacContext);
    char name[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, name, 0),
                                 OSSL_PARAM_construct_end()};
    need(EVP_MAC_CTX_set_params(hmacContext, params) == 1);
  }
  ~Algorithms() {
    EVP_MAC_CTX_free(hmacContext);
    EVP_CIPHER_CTX_free(cipherContext);
    EVP_MD_CTX_free(digestContext);
    EVP_CIPHER_free(cipher);
    EVP_MAC_free(hmac);
    EVP_MD_free(digest);
  }
  EVP_MD* digest = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CFB", nullptr);
  EVP_MD_CTX* digestContext = EVP_MD_CTX_new();
  EVP_CIPHER_CTX* cipherContext = EVP_CIPHER_CTX_new();
  EVP_MAC_CTX* hmacContext = EVP_MAC_CTX_new(hmac);
};

Algorithms& algorithms() {
  static Algorithms once;
  return once;
}

std::array<std::uint8_t, 4> bigEndian(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

// The label as the KDFs take it: its bytes and the NUL that ends it.
Bytes withNul(std::string_view label) {
  return {reinterpret_cast<const std::uint8_t*>(label.data()), label.size() + 1};
}

Bytes of(const TPM2B_ECC_PARAMETER& coordinate) { return {coordinate.buffer, coordinate.size}; }

}  // namespace

Digest sha256(std::initializer_list<Bytes> parts) {
  EVP_MD_CTX* context = algorithms().digestContext;
  need(EVP_DigestInit_ex2(context, algorithms().digest, nullptr) == 1);
  for (Bytes part : parts) need(EVP_DigestUpdate(context, part.data(), part.size()) == 1);
  Digest out{};
  need(EVP_DigestFinal_ex(context, out.data(), nullptr) == 1);
  return out;
}

Digest hmacSha256(Bytes key, std::initializer_list<Bytes> parts) {
  EVP_MAC_CTX* context = algorithms().hmacContext;
  // an empty key is a valid HMAC key, but OpenSSL takes a null pointer as "keep the last one"
  const std::uint8_t none = 0;
  need(EVP_MAC_init(context, key.empty() ? &none : key.data(), key.size(), nullptr) == 1);
  for (Bytes part : parts) need(EVP_MAC_update(context, part.data(), part.size()) == 1);
  Digest out{};
  std::size_t length = 0;
  need(EVP_MAC_final(context, out.data(), &length, out.size()) == 1 && length == out.size());
  return out;
}

SecretBytes kdfa(Bytes key, std::string_view label, Bytes contextU, Bytes contextV,
                 std::uint32_t bits) {
  SecretBytes out;
  const auto size = bigEndian(bits);
  for (std::uint32_t counter = 1; out.size() * 8 < bits; ++counter) {
    Digest block = hmacSha256(key, {bigEndian(counter), withNul(label), contextU, contextV, size});
    out.insert(out.end(), block.begin(), block.end());
    OPENSSL_cleanse(block.data(), block.size());
  }
  out.resize((bits + 7) / 8);
  return out;
}

SecretBytes kdfe(Bytes z, std::string_view label, Bytes partyU, Bytes partyV, std::uint32_t bits) {
  SecretBytes out;
  for (std::uint32_t counter = 1; out.size() * 8 < bits; ++counter) {
    Digest block = sha256({bigEndian(counter), z, withNul(label), partyU, partyV});
    out.insert(out.end(), block.begin(), block.end());
    OPENSSL_cleanse(block.data(), block.size());
  }
  out.resize((bits + 7) / 8);
  return out;
}

Digest commandHash(TPM2_CC code, Bytes names, Bytes parameters) {
  return sha256({bigEndian(code), names, parameters});
}

Digest responseHash(TPM2_CC code, Bytes parameters) {
  return sha256({bigEndian(TPM2_RC_SUCCESS), bigEndian(code), parameters});
}

Digest sessionHmac(Bytes sessionValue, const Digest& parameterHash, Bytes nonceNewer,
                   Bytes nonceOlder, TPMA_SESSION attributes) {
  const std::uint8_t attributeByte = attributes;
  return hmacSha256(sessionValue,
                    {parameterHash, nonceNewer, nonceOlder, Bytes(&attributeByte, 1)});
}

void decryptParameter(Bytes sessionValue, Bytes nonceNewer, Bytes nonceOlder,
                      std::span<std::uint8_t> data) {
  const SecretBytes keyAndIv = kdfa(sessionValue, "CFB", nonceNewer, nonceOlder, 256);
  EVP_CIPHER_CTX* context = algorithms().cipherContext;
  int length = 0;
  need(EVP_DecryptInit_ex2(context, algorithms().cipher, keyAndIv.data(), keyAndIv.data() + 16,
                           nullptr) == 1 &&
       EVP_DecryptUpdate(context, data.data(), &length, data.data(),
                         static_cast<int>(data.size())) == 1 &&
       static_cast<std::size_t>(length) == data.size());
}

Salt saltFor(const TPMS_ECC_POINT& point) {
  const openssl::Pkey parent = openssl::publicKey(pointOf(point));
  const openssl::Pkey ephemeral(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  need(ephemeral != nullptr);
  const SecretBytes z = openssl::sharedSecret(ephemeral.get(), parent.get());
  TPMS_ECC_POINT mine = eccPoint(openssl::point(ephemeral.get()));
  Salt salt{kdfe(z, "SECRET", of(mine.x), of(point.x), 256), {}};
  std::size_t offset = 0;
  check(Tss2_MU_TPMS_ECC_POINT_Marshal(&mine, salt.encrypted.secret, sizeof salt.encrypted.secret,
                                       &offset));
  salt.encrypted.size = static_cast<UINT16>(offset);
  return salt;
}

}  // namespace tarn::service
