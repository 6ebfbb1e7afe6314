#include "service/key.hpp"

#include <openssl/rand.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "base/failure.hpp"
#include "service/tpm_templates.hpp"

namespace tarn::service {
namespace {

// Half of all keys are compact, so this many failures means the TPM is broken, not unlucky.
constexpr int createAttempts = 64;

// G of P-256, uncompressed.
constexpr Point generator = {0x04, 0x6b, 0x17, 0xd1, 0xf2, 0xe1, 0x2c, 0x42, 0x47, 0xf8, 0xbc,
                             0xe6, 0xe5, 0x63, 0xa4, 0x40, 0xf2, 0x77, 0x03, 0x7d, 0x81, 0x2d,
                             0xeb, 0x33, 0xa0, 0xf4, 0xa1, 0x39, 0x45, 0xd8, 0x98, 0xc2, 0x96,
                             0x4f, 0xe3, 0x42, 0xe2, 0xfe, 0x1a, 0x7f, 0x9b, 0x8e, 0xe7, 0xeb,
                             0x4a, 0x7c, 0x0f, 0x9e, 0x16, 0x2b, 0xce, 0x33, 0x57, 0x6b, 0x31,
                             0x5e, 0xce, 0xcb, 0xb6, 0x40, 0x68, 0x37, 0xbf, 0x51, 0xf5};

Point checkedPoint(const KeyFile& key) {
  if (!isKeyTemplate(key.publicPart.publicArea)) {
    throw TpmError("the stored key is not of this tool's key template");
  }
  return pointOf(key.publicPart.publicArea);
}

// Wipes a structure that held an auth value on every way out.
template <typename T>
struct WipedOnExit {
  ~WipedOnExit() { OPENSSL_cleanse(&value, sizeof value); }
  T& value;
};

TPM2B_AUTH authOf(const SecretBytes& auth) {
  TPM2B_AUTH value{};
  if (auth.size() > sizeof value.buffer) throw std::length_error("auth value too long");
  value.size = static_cast<UINT16>(auth.size());
  std::memcpy(value.buffer, auth.data(), auth.size());
  return value;
}

// Fills `key`'s TPM parts with a new compact key whose auth value is `auth`.
void createCompact(Tpm::Link& tpm, const SecretBytes& auth, KeyFile& key) {
  const TPM2B_PUBLIC area = keyTemplate();
  TPM2B_SENSITIVE_CREATE sensitive{};
  const WipedOnExit<TPM2B_SENSITIVE_CREATE> wiped{sensitive};
  sensitive.sensitive.userAuth = authOf(auth);
  const TPM2B_DATA outsideInfo{};
  const TPML_PCR_SELECTION creationPcr{};
  const ESYS_TR parent = tpm.parent();
  // decrypt: the auth value goes to the TPM encrypted, as the command's first parameter
  const TpmHandle session = tpm.saltedSession(TPMA_SESSION_DECRYPT);
  for (int attempt = 0; attempt < createAttempts; ++attempt) {
    EsysOut<TPM2B_PRIVATE> privatePart;
    EsysOut<TPM2B_PUBLIC> publicPart;
    check(answered([&] {
      return Esys_Create(tpm.esys(), parent, session.get(), ESYS_TR_NONE, ESYS_TR_NONE, &sensitive,
                         &area, &outsideInfo, &creationPcr, privatePart.put(), publicPart.put(),
                         nullptr, nullptr, nullptr);
    }));
    if (!isCompact(publicPart->publicArea)) continue;
    key.publicPart = *publicPart;
    key.privatePart = *privatePart;
    return;
  }
  throw TpmError("the TPM made no compact key in " + std::to_string(createAttempts) + " attempts");
}

}  // namespace

MadeKey makeKey(Tpm& tpm, const ServiceSecret& secret, uid_t uid) {
  std::array<std::uint8_t, 32> salt{};
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) {
    throw std::runtime_error("the random generator gave no salt");
  }
  return makeKey(tpm, secret, uid, salt);
}

MadeKey makeKey(Tpm& tpm, const ServiceSecret& secret, uid_t uid,
                const std::array<std::uint8_t, 32>& salt) {
  KeyFile key;
  key.secretId = secret.id();
  key.salt = salt;
  const SecretBytes auth = secret.authValue(uid, key.salt);
  createCompact(*tpm.link(), auth, key);
  const UsableKey checked(tpm, key, auth);
  return {keyFileBytes(key), checked.point()};
}

UsableKey loadKey(Tpm& tpm, std::span<const std::uint8_t> file, const ServiceSecret& secret,
                  uid_t uid) {
  const KeyFile key = parseKeyFile(file);
  if (key.secretId != secret.id()) {
    // the live secret may guard other keys: nothing here suggests putting another in its place
    throw Failure("the key file was made under another service secret");
  }
  return UsableKey(tpm, key, secret.authValue(uid, key.salt));
}

UsableKey::UsableKey(Tpm& tpm, const KeyFile& key, const SecretBytes& auth) : auth_(auth) {
  point_ = checkedPoint(key);
  link_ = tpm.link();
  ESYS_CONTEXT* esys = link_->esys();
  const ESYS_TR parent = link_->parent();
  ESYS_TR handle = ESYS_TR_NONE;
  // a password session is enough here: nothing secret crosses the bus
  const TSS2_RC rc = answered([&] {
    return Esys_Load(esys, parent, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &key.privatePart,
                     &key.publicPart, &handle);
  });
  if (isParameterFailure(rc)) {
    throw TpmError("the key was made by another TPM, or this TPM was cleared");
  }
  check(rc);
  key_ = TpmHandle(esys, handle);
  check(Esys_TR_GetTpmHandle(esys, handle, &keyHandle_));
  EsysOut<TPM2B_NAME> name;
  check(Esys_TR_GetName(esys, handle, name.put()));
  name_ = *name;
  // the agreements run in a session of our own: ESYS's costs milliseconds of lookups per command
  session_ =
      std::make_unique<SaltedSession>(link_->sys(), link_->parentTpmHandle(), link_->parentPoint());
  checkGenerator();
}

TSS2_RC UsableKey::product(const Point& peer, TPM2B_ECC_POINT& out) {
  if (peer[0] != 0x04) throw TpmError("the peer key is not an uncompressed point");
  const TPM2B_ECC_POINT in{0, eccPoint(peer)};
  const TSS2_RC rc = session_->zgen(keyHandle_, name_, auth_, in, out);
  // OpenSSL decrypted the point in its own frames
  scrubStack();
  return rc;
}

void UsableKey::checkGenerator() {
  TPM2B_ECC_POINT own{};
  const WipedOnExit<TPM2B_ECC_POINT> wiped{own};
  const TSS2_RC rc = product(generator, own);
  if (isAuthorizationFailure(rc)) throw TpmError("the key file belongs to another account");
  check(rc);
  if (pointOf(own.point) != point_) {
    throw TpmError("the TPM's product with the generator is not the key's public point");
  }
}

SecretBytes UsableKey::agree(const Point& peer) {
  TPM2B_ECC_POINT shared{};
  const WipedOnExit<TPM2B_ECC_POINT> wiped{shared};
  check(product(peer, shared));
  const TPM2B_ECC_PARAMETER& x = shared.point.x;
  if (x.size > coordinateSize) throw TpmError("the TPM returned a point that is not on P-256");
  SecretBytes secret(coordinateSize, 0);
  std::memcpy(secret.data() + (coordinateSize - x.size), x.buffer, x.size);
  return secret;
}

}  // namespace tarn::service
