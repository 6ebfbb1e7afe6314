#include "platform/password_check.hpp"

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

// The PAM transaction; pam_end needs the last status, so a plain unique_ptr will not do.
class Transaction {
 public:
  Transaction(const std::string& user, const SecretString& password)
      : conversation_{converse, const_cast<SecretString*>(&password)} {
    status_ = ::pam_start(pamService, user.c_str(), &conversation_, &handle_);
    if (status_ != PAM_SUCCESS) {
      handle_ = nullptr;
      throw std::runtime_error(std::string("pam_start: ") + ::pam_strerror(nullptr, status_));
    }
  }
  ~Transaction() { ::pam_end(handle_, status_); }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  int authenticate() { return status_ = ::pam_authenticate(handle_, PAM_DISALLOW_NULL_AUTHTOK); }
  int account() { return status_ = ::pam_acct_mgmt(handle_, PAM_DISALLOW_NULL_AUTHTOK); }
  std::runtime_error error() const { return std::runtime_error(::pam_strerror(handle_, status_)); }

 private:
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
