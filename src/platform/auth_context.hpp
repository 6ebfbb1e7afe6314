#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace tarn::platform {

// Error codes of the authentication prompt, the same values callers on other systems know.
namespace auth_code {
inline constexpr int authenticationFailed = -1;
inline constexpr int userCancel = -2;
inline constexpr int userFallback = -3;
inline constexpr int systemCancel = -4;
inline constexpr int passcodeNotSet = -5;
inline constexpr int appCancel = -9;
inline constexpr int notInteractive = -1004;
}  // namespace auth_code

// The owner of the device proves presence (the account password, or what the PAM stack offers).
inline constexpr int deviceOwnerAuthentication = 2;

// An error of the authentication prompt; what() is its description.
struct AuthError : std::runtime_error {
  AuthError(int error_code, const std::string& description)
      : std::runtime_error(description), code(error_code) {}

  int code;
};

// One authentication: created fresh, evaluated at most once, then handed to the key it unlocks.
class AuthContext {
 public:
  using ReplyHandler = std::function<void(bool success, std::exception_ptr error)>;

  virtual ~AuthContext() = default;

  // Seconds for which an earlier unlock of the machine may stand in. Nothing is cached here,
  // so every evaluation asks whatever this says; kept for callers that set it.
  double reuseDuration = 0;

  // Whether `policy` can be evaluated now; when not, `error` may say what is missing.
  virtual bool canEvaluatePolicy(int policy, std::optional<AuthError>& error) = 0;

  // Starts the prompt and returns; `reply` is called exactly once, on another thread.
  virtual void evaluatePolicy(int policy, const std::string& reason, ReplyHandler reply) = 0;

  // True once an evaluation has succeeded.
  virtual bool evaluated() const = 0;
};

// pinentry for the prompt, PAM service "tarn-wemb" for the password.
std::unique_ptr<AuthContext> newAuthContext();

}  // namespace tarn::platform
