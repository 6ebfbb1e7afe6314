#pragma once

#include <tss2/tss2_sys.h>

#include "base/secret.hpp"
#include "service/tpm_session_crypto.hpp"

namespace tarn::service {

// An HMAC session of the service's own over the SYS API, salted with the storage parent and bound
// to nothing, that authorizes one key by HMAC and has the TPM encrypt the first response
// parameter with AES-128-CFB. Flushed when it goes.
class SaltedSession {
 public:
  // Starts the session on `sys`; `parent` is the storage parent's handle and `point` its public
  // point, to which the salt is encrypted.
  SaltedSession(TSS2_SYS_CONTEXT* sys, TPM2_HANDLE parent, const TPMS_ECC_POINT& point);
  ~SaltedSession();
  SaltedSession(const SaltedSession&) = delete;
  SaltedSession& operator=(const SaltedSession&) = delete;

  // TPM2_ECDH_ZGen of the key at `key`, whose Name is `name` and auth value `auth`, with `in`.
  // The TPM's code when it refuses; on success `out` holds the product, decrypted only after the
  // response's HMAC proved it the TPM's, and nothing of it is left in the stack's buffer.
  TSS2_RC zgen(TPM2_HANDLE key, const TPM2B_NAME& name, const SecretBytes& auth,
               const TPM2B_ECC_POINT& in, TPM2B_ECC_POINT& out);

 private:
  TSS2_SYS_CONTEXT* sys_;
  TPMI_SH_AUTH_SESSION handle_ = 0;
  SecretBytes sessionKey_;
  TPM2B_NONCE nonceTpm_{};
};

}  // namespace tarn::service
