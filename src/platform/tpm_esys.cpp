#include "platform/tpm_esys.hpp"

#include <tss2/tss2_rc.h>

#include <cstdlib>

#include "platform/secure_element.hpp"

namespace tarn::platform::tss {

void check(TSS2_RC rc) {
  if (rc != TSS2_RC_SUCCESS) throw SecureElementError(Tss2_RC_Decode(rc));
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
    Esys_FlushContext(esys_, handle_);
  } else {
    Esys_TR_Close(esys_, &handle_);
  }
  handle_ = ESYS_TR_NONE;
}

}  // namespace tarn::platform::tss
