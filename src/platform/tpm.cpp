#include <tss2/tss2_mu.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/presence.hpp"
#include "platform/secure_element.hpp"
#include "platform/tpm_esys.hpp"
#include "platform/tpm_templates.hpp"

namespace tarn::platform {
namespace {

constexpr const char* defaultTcti = "device:/dev/tpmrm0";
// Half of all keys are compact, so this many failures means the TPM is broken, not unlucky.
constexpr int createAttempts = 64;

// The connection and what is set up on it once per run: the storage parent and the session.
// Members are released in reverse order: the session, then the parent, then the connection.
class Tpm {
 public:
  explicit Tpm(const std::string& tcti) : connection_(tcti) {}

  ESYS_CONTEXT* esys() const { return connection_.get(); }
  ESYS_TR parent();
  ESYS_TR session();

 private:
  tss::Handle persistentParent();

  tss::Connection connection_;
  tss::Handle parent_;
  tss::Handle session_;
};

tss::Handle Tpm::persistentParent() {
  ESYS_TR handle = ESYS_TR_NONE;
  if (Esys_TR_FromTPMPublic(esys(), tpm_template::persistentParent, ESYS_TR_NONE, ESYS_TR_NONE,
                            ESYS_TR_NONE, &handle) != TSS2_RC_SUCCESS) {
    return {};
  }
  tss::Handle persistent = tss::Handle::persistent(esys(), handle);
  tss::Out<TPM2B_PUBLIC> area;
  if (Esys_ReadPublic(esys(), handle, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, area.put(), nullptr,
                      nullptr) != TSS2_RC_SUCCESS ||
      !tpm_template::isParent(area->publicArea)) {
    return {};
  }
  return persistent;
}

ESYS_TR Tpm::parent() {
  if (parent_) return parent_.get();
  parent_ = persistentParent();
  if (parent_) return parent_.get();
  const TPM2B_PUBLIC parentTemplate = tpm_template::parent();
  const TPM2B_SENSITIVE_CREATE sensitive{};
  const TPM2B_DATA outsideInfo{};
  const TPML_PCR_SELECTION creationPcr{};
  ESYS_TR handle = ESYS_TR_NONE;
  tss::check(Esys_CreatePrimary(esys(), ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                ESYS_TR_NONE, &sensitive, &parentTemplate, &outsideInfo,
                                &creationPcr, &handle, nullptr, nullptr, nullptr, nullptr));
  parent_ = tss::Handle::transient(esys(), handle);
  return handle;
}

ESYS_TR Tpm::session() {
  if (session_) return session_.get();
  TPMT_SYM_DEF aes{};
  aes.algorithm = TPM2_ALG_AES;
  aes.keyBits.aes = 128;
  aes.mode.aes = TPM2_ALG_CFB;
  const ESYS_TR storage = parent();
  ESYS_TR handle = ESYS_TR_NONE;
  // Salted with the parent, so the session key is a secret even to someone who saw every byte.
  tss::check(Esys_StartAuthSession(esys(), storage, storage, ESYS_TR_NONE, ESYS_TR_NONE,
                                   ESYS_TR_NONE, nullptr, TPM2_SE_HMAC, &aes, TPM2_ALG_SHA256,
                                   &handle));
  session_ = tss::Handle::transient(esys(), handle);
  // encrypt: the TPM encrypts the first response parameter, the shared point
  tss::check(Esys_TRSess_SetAttributes(esys(), handle,
                                       TPMA_SESSION_CONTINUESESSION | TPMA_SESSION_ENCRYPT, 0xff));
  return handle;
}

class TpmKey final : public EnclaveKey {
 public:
  // What the key is handed out for. A restored key is loaded, which proves this TPM can use it,
  // and stays loaded only when private-key operations are allowed; a new key is not loaded.
  enum class Use { store, check, agree };

  TpmKey(std::shared_ptr<Tpm> tpm, const TPM2B_PUBLIC& publicPart, const TPM2B_PRIVATE& privatePart,
         Use use)
      : tpm_(std::move(tpm)),
        public_(publicPart),
        private_(privatePart),
        point_(tpm_template::x963(publicPart.publicArea)) {
    if (use == Use::store) return;
    ESYS_TR handle = ESYS_TR_NONE;
    tss::check(Esys_Load(tpm_->esys(), tpm_->parent(), ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                         &private_, &public_, &handle));
    tss::Handle loaded = tss::Handle::transient(tpm_->esys(), handle);
    if (use == Use::agree) loaded_ = std::move(loaded);
  }

  const Point& publicKey() const override { return point_; }
  SecretBytes sharedSecret(const Point& peer) override;
  std::vector<std::uint8_t> dataRepresentation() const override;

 private:
  std::shared_ptr<Tpm> tpm_;  // declared first: the key is flushed before the connection closes
  TPM2B_PUBLIC public_;
  TPM2B_PRIVATE private_;
  Point point_;
  tss::Handle loaded_;
};

SecretBytes TpmKey::sharedSecret(const Point& peer) {
  if (!loaded_) {
    throw SecureElementError(
        "the key refuses private-key operations: it was not restored with the user's "
        "presence");
  }
  if (peer[0] != 0x04) throw SecureElementError("the peer key is not an uncompressed point");
  TPM2B_ECC_POINT in{};
  in.point.x.size = tpm_template::coordinateSize;
  in.point.y.size = tpm_template::coordinateSize;
  std::memcpy(in.point.x.buffer, peer.data() + 1, tpm_template::coordinateSize);
  std::memcpy(in.point.y.buffer, peer.data() + 1 + tpm_template::coordinateSize,
              tpm_template::coordinateSize);
  tss::Out<TPM2B_ECC_POINT, true> shared;
  tss::check(Esys_ECDH_ZGen(tpm_->esys(), loaded_.get(), tpm_->session(), ESYS_TR_NONE,
                            ESYS_TR_NONE, &in, shared.put()));
  const TPM2B_ECC_PARAMETER& x = shared->point.x;
  if (x.size > tpm_template::coordinateSize) {
    throw SecureElementError("the TPM returned a shared point that is not on P-256");
  }
  SecretBytes secret(tpm_template::coordinateSize, 0);
  std::memcpy(secret.data() + (tpm_template::coordinateSize - x.size), x.buffer, x.size);
  return secret;
}

std::vector<std::uint8_t> TpmKey::dataRepresentation() const {
  std::vector<std::uint8_t> bytes(sizeof(TPM2B_PUBLIC) + sizeof(TPM2B_PRIVATE));
  std::size_t offset = 0;
  tss::check(Tss2_MU_TPM2B_PUBLIC_Marshal(&public_, bytes.data(), bytes.size(), &offset));
  tss::check(Tss2_MU_TPM2B_PRIVATE_Marshal(&private_, bytes.data(), bytes.size(), &offset));
  bytes.resize(offset);
  return bytes;
}

class TpmElement final : public SecureElement {
 public:
  explicit TpmElement(std::string tcti) : tcti_(std::move(tcti)) {}

  bool isAvailable() override;
  std::unique_ptr<EnclaveKey> create(const AccessControl& access) override;
  std::unique_ptr<EnclaveKey> restore(std::span<const std::uint8_t> data,
                                      const Presence* presence) override;

 private:
  const std::shared_ptr<Tpm>& connected() {
    if (!tpm_) tpm_ = std::make_shared<Tpm>(tcti_);
    return tpm_;
  }

  std::string tcti_;
  std::shared_ptr<Tpm> tpm_;
};

bool TpmElement::isAvailable() {
  try {
    TPMI_YES_NO more = TPM2_NO;
    tss::Out<TPMS_CAPABILITY_DATA> properties;
    tss::check(Esys_GetCapability(connected()->esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                  TPM2_CAP_TPM_PROPERTIES, TPM2_PT_MANUFACTURER, 1, &more,
                                  properties.put()));
    return true;
  } catch (...) {
    return false;
  }
}

std::unique_ptr<EnclaveKey> TpmElement::create(const AccessControl&) {
  // A new key is only stored and its public half read: every private-key use goes through
  // restore() with the user's presence.
  const std::shared_ptr<Tpm>& tpm = connected();
  const TPM2B_PUBLIC keyTemplate = tpm_template::key();
  const TPM2B_SENSITIVE_CREATE sensitive{};
  const TPM2B_DATA outsideInfo{};
  const TPML_PCR_SELECTION creationPcr{};
  for (int attempt = 0; attempt < createAttempts; ++attempt) {
    tss::Out<TPM2B_PRIVATE> privatePart;
    tss::Out<TPM2B_PUBLIC> publicPart;
    tss::check(Esys_Create(tpm->esys(), tpm->parent(), ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                           &sensitive, &keyTemplate, &outsideInfo, &creationPcr, privatePart.put(),
                           publicPart.put(), nullptr, nullptr, nullptr));
    if (tpm_template::isCompact(publicPart->publicArea)) {
      return std::make_unique<TpmKey>(tpm, *publicPart, *privatePart, TpmKey::Use::store);
    }
  }
  throw SecureElementError("the TPM made no compact key in " + std::to_string(createAttempts) +
                           " attempts");
}

std::unique_ptr<EnclaveKey> TpmElement::restore(std::span<const std::uint8_t> data,
                                                const Presence* presence) {
  TPM2B_PUBLIC publicPart{};
  TPM2B_PRIVATE privatePart{};
  // The unmarshaller refuses a null buffer with a misleading text; empty data is just too short.
  static constexpr std::uint8_t nothing = 0;
  const std::uint8_t* bytes = data.empty() ? &nothing : data.data();
  std::size_t offset = 0;
  tss::check(Tss2_MU_TPM2B_PUBLIC_Unmarshal(bytes, data.size(), &offset, &publicPart));
  tss::check(Tss2_MU_TPM2B_PRIVATE_Unmarshal(bytes, data.size(), &offset, &privatePart));
  if (offset != data.size()) {
    throw SecureElementError("the key data has " + std::to_string(data.size() - offset) +
                             " bytes after its private part");
  }
  const bool usable = presence != nullptr;
  return std::make_unique<TpmKey>(connected(), publicPart, privatePart,
                                  usable ? TpmKey::Use::agree : TpmKey::Use::check);
}

}  // namespace

std::unique_ptr<SecureElement> tpm() {
  tss::silence();
  // An empty value would make the loader search its defaults, among them TCP port 2321.
  const char* named = ::secure_getenv("TARN_WEMB_TCTI");
  return std::make_unique<TpmElement>(named != nullptr && *named != '\0' ? named : defaultTcti);
}

}  // namespace tarn::platform
