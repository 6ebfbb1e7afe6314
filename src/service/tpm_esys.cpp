#include "platform/tpm_esys.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_sys.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "platform/tpm.hpp"

namespace tarn::platform::tss {
namespace {

// Far above the few descriptors a run holds.
constexpr int highestDescriptor = 1024;

volatile std::sig_atomic_t gone = 0;

extern "C" void shutDownSockets(int) {
  const int saved = errno;
  gone = 1;
  // The only sockets a run holds while a TPM command is out are the TCTI's: a read waiting on
  // one ends at once, a connect still waiting for its answer is abandoned.
  for (int fd = 3; fd < highestDescriptor; ++fd) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode)) ::shutdown(fd, SHUT_RDWR);
  }
  errno = saved;
}

// One timer for the process; a realtime signal of its own, so no one else's alarm is taken.
// Nothing when no timer could be made.
const std::optional<timer_t>& watchdog() {
  static const std::optional<timer_t> timer = []() -> std::optional<timer_t> {
    struct sigaction action {};
    action.sa_handler = shutDownSockets;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGRTMIN, &action, nullptr);
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGRTMIN;
    timer_t made{};
    if (::timer_create(CLOCK_MONOTONIC, &event, &made) != 0) return std::nullopt;
    return made;
  }();
  return timer;
}

void arm(std::chrono::seconds after) {
  itimerspec when{};
  when.it_value.tv_sec = after.count();
  if (const auto& timer = watchdog()) ::timer_settime(*timer, 0, &when, nullptr);
}

}  // namespace

Watch::Watch() { arm(commandDeadline); }

Watch::~Watch() { arm(std::chrono::seconds{0}); }

bool Watch::expired() { return gone != 0; }

void Watch::expire() { gone = 1; }

void check(TSS2_RC rc) {
  if (rc != TSS2_RC_SUCCESS) throw TpmError(Tss2_RC_Decode(rc));
}

void silence() {
  // tpm2-tss reads this once per module, at its first log line; overriding a caller's value is
  // deliberate, since its default sends errors and warnings to standard error.
  ::setenv("TSS2_LOG", "all+NONE", 1);
}

Connection::Connection(const std::string& tcti) {
  if (Watch::expired()) check(TSS2_TCTI_RC_IO_ERROR);
  const Watch watch;
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
