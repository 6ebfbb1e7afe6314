#pragma once

#include <tss2/tss2_sys.h>

#include <memory>
#include <string>

#include "service/tpm_esys.hpp"

namespace tarn::service {

// The TPM 2.0 named by TARN_WEMB_TCTI, or the kernel's resource manager /dev/tpmrm0. It is
// reached at its first use; keys loaded through it keep the connection open until they go.
class Tpm {
 public:
  Tpm();
  ~Tpm();
  Tpm(const Tpm&) = delete;
  Tpm& operator=(const Tpm&) = delete;

  // True when the TPM answers. Creates nothing and never throws.
  bool isAvailable();

  struct Link;
  // The connection, made at the first call.
  const std::shared_ptr<Link>& link();

 private:
  std::string tcti_;
  std::shared_ptr<Link> link_;
};

// The connection and the storage parent derived on it; the parent is flushed before the
// connection is closed.
struct Tpm::Link {
  explicit Link(const std::string& tcti) : connection(tcti) {}

  ESYS_CONTEXT* esys() const { return connection.get(); }
  // The same connection's SYS context, for the service's own sessions between ESYS's commands.
  TSS2_SYS_CONTEXT* sys() const;

  // The storage parent, made from parentTemplate() at the first call: never a persistent handle,
  // where anyone who may define one could have put a look-alike.
  ESYS_TR parent();
  // The parent's TPM handle and public point, to which a session's salt is encrypted.
  TPM2_HANDLE parentTpmHandle();
  const TPMS_ECC_POINT& parentPoint();

  // A new HMAC session salted with the parent and bound to nothing, AES-128-CFB for the
  // parameter it encrypts, with `attributes` and continueSession.
  TpmHandle saltedSession(TPMA_SESSION attributes);

  TpmConnection connection;
  TpmHandle parentHandle;
  TPMS_ECC_POINT parentPublic{};
};

}  // namespace tarn::service
