#include "service/tpm_esys.hpp"

#include <string.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_sys.h>

#include <cstdlib>

namespace tarn::service {
namespace {

// More than the frames of the session's decryption and its OpenSSL calls take.
constexpr std::size_t scrubbedStack = 16 * 1024;

// A TPM's own answer (not the stack's) in the format that names a handle, session or parameter.
bool tpmFormatOne(TSS2_RC rc) {
  return (rc & TSS2_RC_LAYER_MASK) == TSS2_TPM_RC_LAYER && (rc & TPM2_RC_FMT1) != 0;
}

// The error number of a format-one code, without the index of what it names.
TSS2_RC formatOneError(TSS2_RC rc) { return rc & (TPM2_RC_FMT1 | 0x3f); }

}  // namespace

void check(TSS2_RC rc) {
  if (rc != TSS2_RC_SUCCESS) throw TpmError(Tss2_RC_Decode(rc));
}

bool isAuthorizationFailure(TSS2_RC rc) {
  return tpmFormatOne(rc) &&
         (formatOneError(rc) == TPM2_RC_AUTH_FAIL || formatOneError(rc) == TPM2_RC_BAD_AUTH);
}

bool isParameterFailure(TSS2_RC rc) { return tpmFormatOne(rc) && (rc & TPM2_RC_P) != 0; }

void silenceTss() {
  // tpm2-tss reads this once per module, at its first log line; overriding a caller's value is
  // deliberate, since its default sends errors and warnings to standard error.
  ::setenv("TSS2_LOG", "all+NONE", 1);
}

TpmConnection::TpmConnection(const std::string& tcti) {
  const Deadline deadline(tpmLimit, tpmTooSlow);
  check(Tss2_TctiLdr_Initialize(tcti.c_str(), &tcti_));
  const TSS2_RC rc = Esys_Initialize(&esys_, tcti_, nullptr);
  if (rc != TSS2_RC_SUCCESS) {
    Tss2_TctiLdr_Finalize(&tcti_);
    check(rc);
  }
}

TpmConnection::~TpmConnection() {
  Esys_Finalize(&esys_);
  Tss2_TctiLdr_Finalize(&tcti_);
}

[[gnu::noinline]] void scrubStack() noexcept {
  unsigned char stack[scrubbedStack];
  ::explicit_bzero(stack, sizeof stack);
}

TpmHandle& TpmHandle::operator=(TpmHandle&& other) noexcept {
  if (this != &other) {
    release();
    esys_ = std::exchange(other.esys_, nullptr);
    handle_ = std::exchange(other.handle_, ESYS_TR_NONE);
  }
  return *this;
}

void TpmHandle::release() noexcept {
  if (handle_ == ESYS_TR_NONE) return;
  // ESYS frees its copy of an auth value unwiped: overwrite it while the object is still known
  const TPM2B_AUTH none{};
  Esys_TR_SetAuth(esys_, handle_, &none);
  // flush, not close: a closed handle stays loaded in a TPM without a resource manager
  try {
    answered([&] { return Esys_FlushContext(esys_, handle_); });
  } catch (...) {
    // no watcher could be started: the resource manager flushes it when the connection goes
  }
  handle_ = ESYS_TR_NONE;
}

}  // namespace tarn::service
