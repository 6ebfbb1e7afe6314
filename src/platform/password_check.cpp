#include "platform/password_check.hpp"

#include <dlfcn.h>
#include <openssl/crypto.h>
#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tarn::platform {
namespace {

// Answers PAM's questions: the password for every hidden prompt, nothing we could not know.
int converse(int count, const pam_message** messages, pam_response** responses, void* data) {
  if (count <= 0 || messages == nullptr || responses == nullptr) return PAM_CONV_ERR;
  const auto& password = *static_cast<const SecretString*>(data);
  auto* answers = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
  if (answers == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    int style = messages[i]->msg_style;
    if (style == PAM_ERROR_MSG || style == PAM_TEXT_INFO) continue;
    if (style == PAM_PROMPT_ECHO_OFF) {
      // PAM wipes and frees the answer itself, so it gets its own malloc'd copy.
      char* copy = static_cast<char*>(std::malloc(password.size() + 1));
      if (copy != nullptr) {
        std::memcpy(copy, password.data(), password.size());
        copy[password.size()] = '\0';
        answers[i].resp = copy;
        continue;
      }
    }
    // A visible question (the user name is already set) or no memory: give up the conversation.
    for (int j = 0; j < count; ++j) {
      if (answers[j].resp != nullptr) {
        OPENSSL_cleanse(answers[j].resp, std::strlen(answers[j].resp));
        std::free(answers[j].resp);
      }
    }
    std::free(answers);
    return PAM_CONV_ERR;
  }
  *responses = answers;
  return PAM_SUCCESS;
}

// libpam, loaded only by the runs that check a password: it and what it pulls in (libaudit,
// libcap-ng) would otherwise slow the start of every run, "status" and "seal" included.
class Pam {
 public:
  static const Pam& library() {
    static const Pam pam;
    return pam;
  }

  decltype(&::pam_start) start;
  decltype(&::pam_end) end;
  decltype(&::pam_authenticate) authenticate;
  decltype(&::pam_acct_mgmt) account;
  decltype(&::pam_strerror) describe;

 private:
  Pam() : handle_(::dlopen("libpam.so.0", RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) throw std::runtime_error(std::string("PAM: ") + ::dlerror());
    start = symbol<decltype(start)>("pam_start");
    end = symbol<decltype(end)>("pam_end");
    authenticate = symbol<decltype(authenticate)>("pam_authenticate");
    account = symbol<decltype(account)>("pam_acct_mgmt");
    describe = symbol<decltype(describe)>("pam_strerror");
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
  Transaction(const std::string& user, const SecretString& password)
      : pam_(Pam::library()), conversation_{converse, const_cast<SecretString*>(&password)} {
    status_ = pam_.start(pamService, user.c_str(), &conversation_, &handle_);
    if (status_ != PAM_SUCCESS) {
      handle_ = nullptr;
      throw std::runtime_error(std::string("pam_start: ") + pam_.describe(nullptr, status_));
    }
  }
  ~Transaction() { pam_.end(handle_, status_); }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  int authenticate() { return status_ = pam_.authenticate(handle_, PAM_DISALLOW_NULL_AUTHTOK); }
  int account() { return status_ = pam_.account(handle_, PAM_DISALLOW_NULL_AUTHTOK); }
  std::runtime_error error() const { return std::runtime_error(pam_.describe(handle_, status_)); }

 private:
  const Pam& pam_;
  pam_conv conversation_;
  pam_handle_t* handle_ = nullptr;
  int status_ = PAM_SUCCESS;
};

}  // namespace

bool passwordAccepted(const std::string& user, const SecretString& password) {
  // PAM sees C strings: "right\0anything" must not pass for "right".
  if (password.find('\0') != SecretString::npos) return false;
  Transaction pam(user, password);
  int status = pam.authenticate();
  if (status == PAM_AUTH_ERR) return false;
  if (status != PAM_SUCCESS) throw pam.error();
  if (pam.account() != PAM_SUCCESS) throw pam.error();
  return true;
}

}  // namespace tarn::platform
