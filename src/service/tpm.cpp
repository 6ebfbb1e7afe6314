#include "platform/tpm.hpp"

#include <tss2/tss2_mu.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "platform/tpm_esys.hpp"
#include "platform/tpm_templates.hpp"

namespace tarn::platform {
namespace {

constexpr const char* defaultTcti = "device:/dev/tpmrm0";
// Half of all keys are compact, so this many failures means the TPM is broken, not unlucky.
constexpr int createAttempts = 64;

}  // namespace

// The connection and what is set up on it once per run: the storage parent and the session.
// Members are released in reverse order: the session, then the parent, then the connection.
struct Tpm::Session {
  explicit Session(const std::string& tcti) : connection(tcti) {}

  ESYS_CONTEXT* esys() const { return connection.get(); }
  ESYS_TR parent();
  ESYS_TR encrypting();

  tss::Connection connection;
  tss::Handle parentHandle;
  tss::Handle sessionHandle;

 private:
  tss::Handle persistentParent();
};

tss::Handle Tpm::Session::persistentParent() {
  ESYS_TR handle = ESYS_TR_NONE;
  if (tss::run(
          [&] {
            return Esys_TR_FromTPMPublic_Async(esys(), tpm_template::persistentParent, ESYS_TR_NONE,
                                               ESYS_TR_NONE, ESYS_TR_NONE);
          },
          [&] { return Esys_TR_FromTPMPublic_Finish(esys(), &handle); }) != TSS2_RC_SUCCESS) {
    return {};
  }
  tss::Handle persistent = tss::Handle::persistent(esys(), handle);
  tss::Out<TPM2B_PUBLIC> area;
  if (tss::run(
          [&] {
            return Esys_ReadPublic_Async(esys(), handle, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE);
          },
          [&] { return Esys_ReadPublic_Finish(esys(), area.put(), nullptr, nullptr); }) !=
          TSS2_RC_SUCCESS ||
      !tpm_template::isParent(area->publicArea)) {
    return {};
  }
  return persistent;
}

ESYS_TR Tpm::Session::parent() {
  if (parentHandle) return parentHandle.get();
  parentHandle = persistentParent();
  if (parentHandle) return parentHandle.get();
  const TPM2B_PUBLIC parentTemplate = tpm_template::parent();
  const TPM2B_SENSITIVE_CREATE sensitive{};
  const TPM2B_DATA outsideInfo{};
  const TPML_PCR_SELECTION creationPcr{};
  ESYS_TR handle = ESYS_TR_NONE;
  tss::check(tss::run(
      [&] {
        return Esys_CreatePrimary_Async(esys(), ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                        ESYS_TR_NONE, &sensitive, &parentTemplate, &outsideInfo,
                                        &creationPcr);
      },
      [&] {
        return Esys_CreatePrimary_Finish(esys(), &handle, nullptr, nullptr, nullptr, nullptr);
      }));
  parentHandle = tss::Handle::transient(esys(), handle);
  return handle;
}

ESYS_TR Tpm::Session::encrypting() {
  if (sessionHandle) return sessionHandle.get();
  TPMT_SYM_DEF aes{};
  aes.algorithm = TPM2_ALG_AES;
  aes.keyBits.aes = 128;
  aes.mode.aes = TPM2_ALG_CFB;
  const ESYS_TR storage = parent();
  ESYS_TR handle = ESYS_TR_NONE;
  // Salted with the parent, so the session key is a secret even to someone who saw every byte.
  tss::check(tss::run(
      [&] {
        return Esys_StartAuthSession_Async(esys(), storage, storage, ESYS_TR_NONE, ESYS_TR_NONE,
                                           ESYS_TR_NONE, nullptr, TPM2_SE_HMAC, &aes,
                                           TPM2_ALG_SHA256);
      },
      [&] { return Esys_StartAuthSession_Finish(esys(), &handle); }));
  sessionHandle = tss::Handle::transient(esys(), handle);
  // encrypt: the TPM encrypts the first response parameter, the shared point
  tss::check(Esys_TRSess_SetAttributes(esys(), handle,
                                       TPMA_SESSION_CONTINUESESSION | TPMA_SESSION_ENCRYPT, 0xff));
  return handle;
}

// The loaded object; declared after the session it borrows, so it is flushed first.
struct TpmKey::Loaded {
  std::shared_ptr<Tpm::Session> session;
  tss::Handle handle;
};

TpmKey::TpmKey(std::unique_ptr<Loaded> loaded, const Point& point)
    : loaded_(std::move(loaded)), point_(point) {}
TpmKey::TpmKey(TpmKey&&) noexcept = default;
TpmKey& TpmKey::operator=(TpmKey&&) noexcept = default;
TpmKey::~TpmKey() = default;

SecretBytes TpmKey::sharedSecret(const Point& peer, const Presence&) {
  if (peer[0] != 0x04) throw TpmError("the peer key is not an uncompressed point");
  TPM2B_ECC_POINT in{};
  in.point.x.size = tpm_template::coordinateSize;
  in.point.y.size = tpm_template::coordinateSize;
  std::memcpy(in.point.x.buffer, peer.data() + 1, tpm_template::coordinateSize);
  std::memcpy(in.point.y.buffer, peer.data() + 1 + tpm_template::coordinateSize,
              tpm_template::coordinateSize);
  Tpm::Session& tpm = *loaded_->session;
  const ESYS_TR session = tpm.encrypting();
  tss::Out<TPM2B_ECC_POINT, true> shared;
  const TSS2_RC rc = tss::run(
      [&] {
        return Esys_ECDH_ZGen_Async(tpm.esys(), loaded_->handle.get(), session, ESYS_TR_NONE,
                                    ESYS_TR_NONE, &in);
      },
      [&] { return Esys_ECDH_ZGen_Finish(tpm.esys(), shared.put()); });
  // the stack decrypted the point in its own response buffer and would free it unwiped
  tss::wipeResponse(tpm.esys());
  tss::check(rc);
  const TPM2B_ECC_PARAMETER& x = shared->point.x;
  if (x.size > tpm_template::coordinateSize) {
    throw TpmError("the TPM returned a shared point that is not on P-256");
  }
  SecretBytes secret(tpm_template::coordinateSize, 0);
  std::memcpy(secret.data() + (tpm_template::coordinateSize - x.size), x.buffer, x.size);
  return secret;
}

Tpm::Tpm() {
  tss::silence();
  // An empty value would make the loader search its defaults, among them TCP port 2321.
  const char* named = ::secure_getenv("TARN_WEMB_TCTI");
  tcti_ = named != nullptr && *named != '\0' ? named : defaultTcti;
}

Tpm::~Tpm() = default;

const std::shared_ptr<Tpm::Session>& Tpm::session() {
  if (!session_) session_ = std::make_shared<Session>(tcti_);
  return session_;
}

bool Tpm::isAvailable() {
  try {
    ESYS_CONTEXT* esys = session()->esys();
    TPMI_YES_NO more = TPM2_NO;
    tss::Out<TPMS_CAPABILITY_DATA> properties;
    tss::check(tss::run(
        [&] {
          return Esys_GetCapability_Async(esys, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                          TPM2_CAP_TPM_PROPERTIES, TPM2_PT_MANUFACTURER, 1);
        },
        [&] { return Esys_GetCapability_Finish(esys, &more, properties.put()); }));
    return true;
  } catch (...) {
    return false;
  }
}

NewKey Tpm::create() {
  Session& tpm = *session();
  const TPM2B_PUBLIC keyTemplate = tpm_template::key();
  const TPM2B_SENSITIVE_CREATE sensitive{};
  const TPM2B_DATA outsideInfo{};
  const TPML_PCR_SELECTION creationPcr{};
  for (int attempt = 0; attempt < createAttempts; ++attempt) {
    tss::Out<TPM2B_PRIVATE> privatePart;
    tss::Out<TPM2B_PUBLIC> publicPart;
    const ESYS_TR parent = tpm.parent();
    tss::check(tss::run(
        [&] {
          return Esys_Create_Async(tpm.esys(), parent, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                                   &sensitive, &keyTemplate, &outsideInfo, &creationPcr);
        },
        [&] {
          return Esys_Create_Finish(tpm.esys(), privatePart.put(), publicPart.put(), nullptr,
                                    nullptr, nullptr);
        }));
    if (!tpm_template::isCompact(publicPart->publicArea)) continue;
    NewKey key{std::vector<std::uint8_t>(sizeof(TPM2B_PUBLIC) + sizeof(TPM2B_PRIVATE)),
               tpm_template::x963(publicPart->publicArea)};
    std::size_t offset = 0;
    tss::check(
        Tss2_MU_TPM2B_PUBLIC_Marshal(&*publicPart, key.blob.data(), key.blob.size(), &offset));
    tss::check(
        Tss2_MU_TPM2B_PRIVATE_Marshal(&*privatePart, key.blob.data(), key.blob.size(), &offset));
    key.blob.resize(offset);
    return key;
  }
  throw TpmError("the TPM made no compact key in " + std::to_string(createAttempts) + " attempts");
}

TpmKey Tpm::load(std::span<const std::uint8_t> blob) {
  TPM2B_PUBLIC publicPart{};
  TPM2B_PRIVATE privatePart{};
  // The unmarshaller refuses a null buffer with a misleading text; empty data is just too short.
  static constexpr std::uint8_t nothing = 0;
  const std::uint8_t* bytes = blob.empty() ? &nothing : blob.data();
  std::size_t offset = 0;
  tss::check(Tss2_MU_TPM2B_PUBLIC_Unmarshal(bytes, blob.size(), &offset, &publicPart));
  tss::check(Tss2_MU_TPM2B_PRIVATE_Unmarshal(bytes, blob.size(), &offset, &privatePart));
  if (offset != blob.size()) {
    throw TpmError("the key data has " + std::to_string(blob.size() - offset) +
                   " bytes after its private part");
  }
  if (!tpm_template::isKey(publicPart.publicArea)) {
    throw TpmError("the stored key is not of this tool's key template");
  }
  const Point point = tpm_template::x963(publicPart.publicArea);
  auto loaded = std::make_unique<TpmKey::Loaded>();
  loaded->session = session();
  Session& tpm = *loaded->session;
  const ESYS_TR parent = tpm.parent();
  ESYS_TR handle = ESYS_TR_NONE;
  tss::check(tss::run(
      [&] {
        return Esys_Load_Async(tpm.esys(), parent, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                               &privatePart, &publicPart);
      },
      [&] { return Esys_Load_Finish(tpm.esys(), &handle); }));
  loaded->handle = tss::Handle::transient(tpm.esys(), handle);
  return TpmKey(std::move(loaded), point);
}

}  // namespace tarn::platform
