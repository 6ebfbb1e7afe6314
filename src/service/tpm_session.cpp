#include "service/tpm_session.hpp"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <tss2/tss2_mu.h>

#include "service/tpm_esys.hpp"

namespace tarn::service {
namespace {

// continueSession, and encrypt: the TPM encrypts the response's first parameter.
constexpr TPMA_SESSION zgenAttributes = TPMA_SESSION_CONTINUESESSION | TPMA_SESSION_ENCRYPT;

TPM2B_NONCE freshNonce() {
  TPM2B_NONCE nonce{};
  nonce.size = sizeof(Digest);
  if (RAND_bytes(nonce.buffer, nonce.size) != 1)
    throw TpmError("the random generator gave no nonce");
  return nonce;
}

Bytes of(const TPM2B_NONCE& nonce) { return {nonce.buffer, nonce.size}; }

// The session's key and the entity's auth value: what keys its HMACs and its encryption.
SecretBytes sessionValue(const SecretBytes& sessionKey, const SecretBytes& auth) {
  SecretBytes value(sessionKey);
  value.insert(value.end(), auth.begin(), auth.end());
  return value;
}

}  // namespace

SaltedSession::SaltedSession(TSS2_SYS_CONTEXT* sys, TPM2_HANDLE parent, const TPMS_ECC_POINT& point)
    : sys_(sys) {
  const Salt salt = saltFor(point);
  const TPM2B_NONCE nonceCaller = freshNonce();
  TPMT_SYM_DEF aes{};
  aes.algorithm = TPM2_ALG_AES;
  aes.keyBits.aes = 128;
  aes.mode.aes = TPM2_ALG_CFB;
  check(answered([&] {
    return Tss2_Sys_StartAuthSession(sys_, parent, TPM2_RH_NULL, nullptr, &nonceCaller,
                                     &salt.encrypted, TPM2_SE_HMAC, &aes, TPM2_ALG_SHA256, &handle_,
                                     &nonceTpm_, nullptr);
  }));
  // bound to nothing: the salt alone makes the key, and only the parent's holder could read it
  sessionKey_ = kdfa(salt.value, "ATH", of(nonceTpm_), of(nonceCaller), 256);
}

SaltedSession::~SaltedSession() {
  try {
    answered([&] { return Tss2_Sys_FlushContext(sys_, handle_); });
  } catch (...) {
    // no watcher could be started: the resource manager flushes it when the connection goes
  }
}

TSS2_RC SaltedSession::zgen(TPM2_HANDLE key, const TPM2B_NAME& name, const SecretBytes& auth,
                            const TPM2B_ECC_POINT& in, TPM2B_ECC_POINT& out) {
  check(Tss2_Sys_ECDH_ZGen_Prepare(sys_, key, &in));
  std::size_t cpSize = 0;
  const std::uint8_t* cp = nullptr;
  check(Tss2_Sys_GetCpBuffer(sys_, &cpSize, &cp));
  const SecretBytes value = sessionValue(sessionKey_, auth);
  TSS2L_SYS_AUTH_COMMAND command{};
  command.count = 1;
  TPMS_AUTH_COMMAND& mine = command.auths[0];
  mine.sessionHandle = handle_;
  mine.nonce = freshNonce();
  mine.sessionAttributes = zgenAttributes;
  const Digest cpHash = commandHash(TPM2_CC_ECDH_ZGen, {name.name, name.size}, {cp, cpSize});
  const Digest hmac = sessionHmac(value, cpHash, of(mine.nonce), of(nonceTpm_), zgenAttributes);
  mine.hmac.size = hmac.size();
  std::copy(hmac.begin(), hmac.end(), mine.hmac.buffer);
  check(Tss2_Sys_SetCmdAuths(sys_, &command));
  const TSS2_RC rc = answered([&] { return Tss2_Sys_Execute(sys_); });
  if (rc != TSS2_RC_SUCCESS) return rc;

  TSS2L_SYS_AUTH_RESPONSE response{};
  check(Tss2_Sys_GetRspAuths(sys_, &response));
  std::size_t rpSize = 0;
  const std::uint8_t* rp = nullptr;
  check(Tss2_Sys_GetRpBuffer(sys_, &rpSize, &rp));
  const TPMS_AUTH_RESPONSE& theirs = response.auths[0];
  const Digest rpHash = responseHash(TPM2_CC_ECDH_ZGen, {rp, rpSize});
  const Digest expected =
      sessionHmac(value, rpHash, of(theirs.nonce), of(mine.nonce), theirs.sessionAttributes);
  if (response.count != 1 || theirs.hmac.size != expected.size() ||
      CRYPTO_memcmp(theirs.hmac.buffer, expected.data(), expected.size()) != 0) {
    throw TpmError("the TPM's answer failed its integrity check");
  }
  nonceTpm_ = theirs.nonce;

  // decrypted where it lies, then wiped there: the buffer is the stack's, freed with the context
  auto* parameters = const_cast<std::uint8_t*>(rp);
  const std::size_t encrypted = rpSize < 2 ? 0 : (parameters[0] << 8 | parameters[1]);
  if (rpSize < 2 || encrypted > rpSize - 2) throw TpmError("the TPM's answer is malformed");
  decryptParameter(value, of(nonceTpm_), of(mine.nonce), {parameters + 2, encrypted});
  std::size_t offset = 0;
  const TSS2_RC parsed = Tss2_MU_TPM2B_ECC_POINT_Unmarshal(parameters, rpSize, &offset, &out);
  OPENSSL_cleanse(parameters, rpSize);
  check(parsed);
  if (offset != rpSize) throw TpmError("the TPM's answer is malformed");
  return TSS2_RC_SUCCESS;
}

}  // namespace tarn::service
