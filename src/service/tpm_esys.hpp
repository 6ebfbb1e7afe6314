#pragma once

#include <openssl/crypto.h>
#include <tss2/tss2_esys.h>
#include <tss2/tss2_tctildr.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "service/deadline.hpp"

namespace tarn::service {

// An error of the TPM or of its software stack; what() is their own description, or one of the
// service's fixed texts for the cases a user can do something about.
struct TpmError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws TpmError with Tss2_RC_Decode's text unless `rc` is success.
void check(TSS2_RC rc);

// Whether `rc` is the TPM refusing an authorization: a wrong HMAC, whichever session it was in.
bool isAuthorizationFailure(TSS2_RC rc);

// Whether `rc` is the TPM refusing one of the command's parameters.
bool isParameterFailure(TSS2_RC rc);

inline constexpr std::chrono::seconds tpmLimit{30};
inline constexpr std::string_view tpmTooSlow = "the TPM did not answer within 30 seconds";

// Runs one TPM command, a call of tpm2-tss that waits for its answer, under the TPM's deadline:
// a TPM that does not answer ends the service rather than leave its caller waiting.
template <typename Command>
TSS2_RC answered(Command&& command) {
  const Deadline deadline(tpmLimit, tpmTooSlow);
  return command();
}

// Clears a stretch of stack below the caller, where OpenSSL's frames held decrypted bytes.
void scrubStack() noexcept;

// Turns tpm2-tss's own logging off before anything of it runs: nothing may reach standard error.
void silenceTss();

// An output structure that ESYS allocated; freed with Esys_Free, wiped first when it holds a
// secret.
template <typename T, bool wipe = false>
class EsysOut {
 public:
  EsysOut() = default;
  EsysOut(const EsysOut&) = delete;
  EsysOut& operator=(const EsysOut&) = delete;
  ~EsysOut() {
    if constexpr (wipe) {
      if (value_ != nullptr) OPENSSL_cleanse(value_, sizeof(T));
    }
    Esys_Free(value_);
  }

  T** put() { return &value_; }
  const T& operator*() const { return *value_; }
  const T* operator->() const { return value_; }

 private:
  T* value_ = nullptr;
};

// One ESYS context on its own TCTI; both finalised together, the context first.
class TpmConnection {
 public:
  // `tcti` is a TCTI configuration string such as "device:/dev/tpmrm0"; never the loader's default.
  explicit TpmConnection(const std::string& tcti);
  ~TpmConnection();
  TpmConnection(const TpmConnection&) = delete;
  TpmConnection& operator=(const TpmConnection&) = delete;

  ESYS_CONTEXT* get() const { return esys_; }

 private:
  TSS2_TCTI_CONTEXT* tcti_ = nullptr;
  ESYS_CONTEXT* esys_ = nullptr;
};

// A transient object or session this process made or loaded, flushed when it goes.
class TpmHandle {
 public:
  TpmHandle() = default;
  TpmHandle(ESYS_CONTEXT* esys, ESYS_TR handle) : esys_(esys), handle_(handle) {}
  TpmHandle(TpmHandle&& other) noexcept
      : esys_(std::exchange(other.esys_, nullptr)),
        handle_(std::exchange(other.handle_, ESYS_TR_NONE)) {}
  TpmHandle& operator=(TpmHandle&& other) noexcept;
  ~TpmHandle() { release(); }

  ESYS_TR get() const { return handle_; }
  explicit operator bool() const { return handle_ != ESYS_TR_NONE; }

 private:
  void release() noexcept;

  ESYS_CONTEXT* esys_ = nullptr;
  ESYS_TR handle_ = ESYS_TR_NONE;
};

}  // namespace tarn::service
