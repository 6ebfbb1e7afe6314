#pragma once

#include <openssl/crypto.h>
#include <tss2/tss2_esys.h>
#include <tss2/tss2_tctildr.h>

#include <chrono>
#include <string>
#include <utility>

namespace tarn::platform::tss {

// Throws TpmError with Tss2_RC_Decode's text unless `rc` is success.
void check(TSS2_RC rc);

// How long one wait for the TPM's answer lasts before the deadline is looked at again.
inline constexpr std::int32_t answerPoll = 1000;  // milliseconds
// A TPM that has not answered one command by then is taken as gone.
inline constexpr std::chrono::seconds commandDeadline{30};

// While it lives, a TPM that has not answered by the deadline has every socket of this process
// shut down under it: some TCTIs (swtpm's) wait in the kernel whatever timeout ESYS passes them.
class Watch {
 public:
  Watch();
  ~Watch();
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

  // Once one command has gone unanswered, the TPM is taken as gone for the rest of the run: no
  // further command is sent, so flushes and fallbacks cannot each wait out a deadline of their own.
  static bool expired();
  static void expire();
};

// Runs one TPM command: `send` is its _Async call, `receive` its _Finish call. The one-call ESYS
// functions wait without end whatever timeout is set; this gives up at the deadline instead.
template <typename Send, typename Receive>
TSS2_RC run(Send&& send, Receive&& receive) {
  if (Watch::expired()) return TSS2_TCTI_RC_IO_ERROR;
  const Watch watch;
  TSS2_RC rc = send();
  if (rc != TSS2_RC_SUCCESS) return rc;
  const auto deadline = std::chrono::steady_clock::now() + commandDeadline;
  for (;;) {
    rc = receive();
    // TRY_AGAIN is an answer not yet in, or a command the TPM asked to be sent again
    if ((rc & ~TSS2_RC_LAYER_MASK) != TSS2_BASE_RC_TRY_AGAIN) return rc;
    if (std::chrono::steady_clock::now() >= deadline) {
      Watch::expire();
      return rc;
    }
  }
}

// Wipes the response parameters of the last command from the stack's own buffer, where ESYS
// leaves them decrypted.
void wipeResponse(ESYS_CONTEXT* esys) noexcept;

// Turns tpm2-tss's own logging off before anything of it runs: nothing may reach standard error.
void silence();

// An output structure that ESYS allocated; freed with Esys_Free, wiped first when it holds a
// secret.
template <typename T, bool wipe = false>
class Out {
 public:
  Out() = default;
  Out(const Out&) = delete;
  Out& operator=(const Out&) = delete;
  ~Out() {
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
class Connection {
 public:
  // `tcti` is a TCTI configuration string such as "device:/dev/tpmrm0"; never the loader's default.
  explicit Connection(const std::string& tcti);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  ESYS_CONTEXT* get() const { return esys_; }

 private:
  TSS2_TCTI_CONTEXT* tcti_ = nullptr;
  ESYS_CONTEXT* esys_ = nullptr;
};

// A TPM resource this process holds: a transient object or session it flushes, or a persistent
// object whose ESYS handle it only closes.
class Handle {
 public:
  static Handle transient(ESYS_CONTEXT* esys, ESYS_TR handle) { return {esys, handle, true}; }
  static Handle persistent(ESYS_CONTEXT* esys, ESYS_TR handle) { return {esys, handle, false}; }

  Handle() = default;
  Handle(Handle&& other) noexcept
      : esys_(std::exchange(other.esys_, nullptr)),
        handle_(std::exchange(other.handle_, ESYS_TR_NONE)),
        flush_(other.flush_) {}
  Handle& operator=(Handle&& other) noexcept;
  ~Handle() { release(); }

  ESYS_TR get() const { return handle_; }
  explicit operator bool() const { return handle_ != ESYS_TR_NONE; }

 private:
  Handle(ESYS_CONTEXT* esys, ESYS_TR handle, bool flush)
      : esys_(esys), handle_(handle), flush_(flush) {}
  void release() noexcept;

  ESYS_CONTEXT* esys_ = nullptr;
  ESYS_TR handle_ = ESYS_TR_NONE;
  bool flush_ = true;
};

}  // namespace tarn::platform::tss
