#include "service/pam.hpp"

#include <dlfcn.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <security/pam_appl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "base/io.hpp"

namespace tarn::service {
namespace {

constexpr int rounds = 3;

// libpam, loaded only by the runs that ask: it and what it pulls in (libaudit, libcap-ng) would
// otherwise slow the start of every run, "status" and "seal" included.
class Library {
 public:
  static const Library& get() {
    static const Library pam;
    return pam;
  }

  decltype(&::pam_start) start;
  decltype(&::pam_end) end;
  decltype(&::pam_authenticate) authenticate;
  decltype(&::pam_acct_mgmt) account;
  decltype(&::pam_set_item) setItem;
  decltype(&::pam_get_item) getItem;

 private:
  Library() : handle_(::dlopen("libpam.so.0", RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) throw std::runtime_error(std::string("PAM: ") + ::dlerror());
    start = symbol<decltype(start)>("pam_start");
    end = symbol<decltype(end)>("pam_end");
    authenticate = symbol<decltype(authenticate)>("pam_authenticate");
    account = symbol<decltype(account)>("pam_acct_mgmt");
    setItem = symbol<decltype(setItem)>("pam_set_item");
    getItem = symbol<decltype(getItem)>("pam_get_item");
  }

  template <typename F>
  F symbol(const char* name) const {
    void* found = ::dlsym(handle_, name);
    if (found == nullptr) throw std::runtime_error(std::string("PAM: no ") + name);
    return reinterpret_cast<F>(found);
  }

  void* handle_;  // never closed: modules PAM loaded may still point into it
};

// The PAM transaction; pam_end needs the last status, so a plain unique_ptr will not do.
class Transaction {
 public:
  Transaction(const std::string& user, const pam_conv& conversation)
      : pam_(Library::get()), conversation_(conversation) {
    status_ = pam_.start(pamService, user.c_str(), &conversation_, &handle_);
    if (status_ != PAM_SUCCESS) {
      handle_ = nullptr;
      throw std::runtime_error("pam_start failed");
    }
    // Who asks is the account itself, never a terminal the client could name.
    status_ = pam_.setItem(handle_, PAM_RUSER, user.c_str());
    if (status_ != PAM_SUCCESS) {
      pam_.end(handle_, status_);
      throw std::runtime_error("pam_set_item failed");
    }
  }
  ~Transaction() { pam_.end(handle_, status_); }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  int authenticate() { return status_ = pam_.authenticate(handle_, PAM_DISALLOW_NULL_AUTHTOK); }
  int account() { return status_ = pam_.account(handle_, PAM_DISALLOW_NULL_AUTHTOK); }

  // Whether the modules left the user as it was: one may have changed PAM_USER underway.
  bool stillFor(const std::string& user) const {
    const void* item = nullptr;
    if (pam_.getItem(handle_, PAM_USER, &item) != PAM_SUCCESS || item == nullptr) return false;
    return user == static_cast<const char*>(item);
  }

 private:
  const Library& pam_;
  pam_conv conversation_;
  pam_handle_t* handle_ = nullptr;
  int status_ = PAM_SUCCESS;
};

}  // namespace

// Between the PAM thread and the prompt. The descriptor is readable exactly while an event
// waits, so the prompt can watch it beside pinentry's socket.
struct PamExchange {
  mutable std::mutex lock;
  std::condition_variable answered;
  std::deque<PamEvent> events;
  bool finished = false;
  bool proven = false;
  bool abandoned = false;
  bool hasAnswer = false;
  std::optional<SecretString> answer;
  bool refusedAnswer = false;  // only the PAM thread touches it
  Descriptor ready{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};

  void signal() {
    // Only a counter at its maximum refuses, and that one is readable already.
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(ready.get(), &one, sizeof one);
  }

  // False once the prompt has gone: the module is then told the conversation failed.
  bool post(PamEvent event) {
    std::lock_guard hold(lock);
    if (abandoned) return false;
    events.push_back(std::move(event));
    if (events.size() == 1) signal();
    return true;
  }

  void finish(bool result) noexcept {
    std::lock_guard hold(lock);
    finished = true;
    proven = result;
    if (events.empty()) signal();
  }

  // A malloc'd copy of the answer, which PAM wipes and frees itself; null without an answer.
  char* ask(PamQuestion question) {
    if (!post(std::move(question))) return nullptr;
    std::unique_lock hold(lock);
    answered.wait(hold, [&] { return hasAnswer || abandoned; });
    if (abandoned) return nullptr;
    hasAnswer = false;
    std::optional<SecretString> given = std::move(answer);
    answer.reset();
    if (!given) {
      refusedAnswer = true;
      return nullptr;
    }
    char* copy = static_cast<char*>(std::malloc(given->size() + 1));
    if (copy != nullptr) std::memcpy(copy, given->c_str(), given->size() + 1);
    return copy;
  }

  bool isAbandoned() const {
    std::lock_guard hold(lock);
    return abandoned;
  }
};

namespace {

void discard(pam_response* answers, int count) {
  for (int i = 0; i < count; ++i) {
    if (answers[i].resp == nullptr) continue;
    OPENSSL_cleanse(answers[i].resp, std::strlen(answers[i].resp));
    std::free(answers[i].resp);
  }
  std::free(answers);
}

int converse(int count, const pam_message** messages, pam_response** responses, void* data) {
  if (count <= 0 || messages == nullptr || responses == nullptr) return PAM_CONV_ERR;
  auto& shared = *static_cast<PamExchange*>(data);
  auto* answers = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
  if (answers == nullptr) return PAM_BUF_ERR;
  try {
    for (int i = 0; i < count; ++i) {
      const int style = messages[i]->msg_style;
      std::string text = messages[i]->msg != nullptr ? messages[i]->msg : "";
      bool fine = false;
      if (style == PAM_TEXT_INFO || style == PAM_ERROR_MSG) {
        fine = shared.post(PamMessage{std::move(text), style == PAM_ERROR_MSG});
      } else if (style == PAM_PROMPT_ECHO_OFF || style == PAM_PROMPT_ECHO_ON) {
        answers[i].resp = shared.ask(PamQuestion{std::move(text), style == PAM_PROMPT_ECHO_ON});
        fine = answers[i].resp != nullptr;
      }
      if (!fine) {
        discard(answers, count);
        return PAM_CONV_ERR;
      }
    }
  } catch (...) {
    discard(answers, count);
    return PAM_BUF_ERR;
  }
  *responses = answers;
  return PAM_SUCCESS;
}

void authenticate(const std::shared_ptr<PamExchange>& shared, const std::string& user) {
  bool proven = false;
  try {
    Transaction pam(user, pam_conv{converse, shared.get()});
    for (int round = 1; round <= rounds && !shared->isAbandoned(); ++round) {
      shared->refusedAnswer = false;
      int status = pam.authenticate();
      if (status == PAM_SUCCESS) {
        proven = pam.account() == PAM_SUCCESS && pam.stillFor(user);
        break;
      }
      // A password with a NUL was never shown to PAM; it counts as a wrong one.
      if (status != PAM_AUTH_ERR && !shared->refusedAnswer) break;
      if (round < rounds && !shared->post(PamRefused{})) break;
    }
  } catch (...) {
    proven = false;
  }
  shared->finish(proven);
}

}  // namespace

PamAuthentication::PamAuthentication(const std::string& user)
    : shared_(std::make_shared<PamExchange>()) {
  if (!shared_->ready) throw std::system_error(errno, std::generic_category(), "eventfd");
  thread_ = std::thread([shared = shared_, user] { authenticate(shared, user); });
}

PamAuthentication::~PamAuthentication() {
  {
    std::lock_guard hold(shared_->lock);
    shared_->abandoned = true;
  }
  shared_->answered.notify_all();
  if (finished_) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

int PamAuthentication::descriptor() const { return shared_->ready.get(); }

bool PamAuthentication::pending() const {
  std::lock_guard hold(shared_->lock);
  return !shared_->events.empty() || shared_->finished;
}

PamEvent PamAuthentication::next() {
  for (;;) {
    {
      std::lock_guard hold(shared_->lock);
      auto& events = shared_->events;
      if (!events.empty()) {
        PamEvent event = std::move(events.front());
        events.pop_front();
        if (events.empty() && !shared_->finished) {
          std::uint64_t count;
          [[maybe_unused]] ssize_t taken = ::read(shared_->ready.get(), &count, sizeof count);
        }
        return event;
      }
      if (shared_->finished) {
        finished_ = true;
        return PamFinished{shared_->proven};
      }
    }
    pollfd watch{shared_->ready.get(), POLLIN, 0};
    if (::poll(&watch, 1, -1) < 0 && errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "poll");
    }
  }
}

void PamAuthentication::answer(std::optional<SecretString> text) {
  {
    std::lock_guard hold(shared_->lock);
    shared_->answer = std::move(text);
    shared_->hasAnswer = true;
  }
  shared_->answered.notify_all();
}

}  // namespace tarn::service
