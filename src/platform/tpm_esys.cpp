#include "platform/tpm_esys.hpp"

#include <tss2/tss2_rc.h>
#include <tss2/tss2_sys.h>

#include <cstdlib>

#include "platform/tpm.hpp"

namespace tarn::platform::tss {

void check(TSS2_RC rc) {
  if (rc != TSS2_RC_SUCCESS) throw TpmError(Tss2_RC_Decode(rc));
}

void silence() {
  // tpm2-tss reads this once per module, at its first log line; overriding a caller's value is
  // deliberate, since its default sends errors and warnings to standard error.
  ::setenv("TSS2_LOG", "all+NONE", 1);
}

Connection::Connection(const std::string& tcti) {
  check(Tss2_TctiLdr_Initialize(tcti.c_str(), &tcti_));
  TSS2_RC rc = Esys_Initialize(&esys_, tcti_, nullptr);
  if (rc != TSS2_RC_SUCCESS) {
    Tss2_TctiLdr_Finalize(&tcti_);
    check(rc);
  }
  rc = Esys_SetTimeout(esys_, answerPoll);
  if (rc != TSS2_RC_SUCCESS) {
    Esys_Finalize(&esys_);
    Tss2_TctiLdr_Finalize(&tcti_);
    check(rc);
  }
}

void wipeResponse(ESYS_CONTEXT* esys) noexcept {
  TSS2_SYS_CONTEXT* sys = nullptr;
  if (Esys_GetSysContext(esys, &sys) != TSS2_RC_SUCCESS || sys == nullptr) return;
  std::size_t size = 0;
  const std::uint8_t* parameters = nullptr;
  if (Tss2_Sys_GetRpBuffer(sys, &size, &parameters) != TSS2_RC_SUCCESS || parameters == nullptr) {
    return;
  }
  OPENSSL_cleanse(const_cast<std::uint8_t*>(parameters), size);
}

Connection::~Connection() {
  Esys_Finalize(&esys_);
  Tss2_TctiLdr_Finalize(&tcti_);
}

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    release();
    esys_ = std::exchange(other.esys_, nullptr);
    handle_ = std::exchange(other.handle_, ESYS_TR_NONE);
    flush_ = other.flush_;
  }
  return *this;
}

void Handle::release() noexcept {
  if (handle_ == ESYS_TR_NONE) return;
  // flush, not close: a closed handle stays loaded in a TPM without a resource manager
  if (flush_) {
    run([&] { return Esys_FlushContext_Async(esys_, handle_); },
        [&] { return Esys_FlushContext_Finish(esys_); });
  } else {
    Esys_TR_Close(esys_, &handle_);
  }
  handle_ = ESYS_TR_NONE;
}

}  // namespace tarn::platform::tss
