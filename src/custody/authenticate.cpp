#include "custody/authenticate.hpp"

#include <exception>
#include <semaphore>

#include "base/failure.hpp"

namespace tarn::custody {
namespace {

// Shared with the reply handler, which may still be returning from release() when we wake.
struct Outcome {
  std::counting_semaphore<1> done{0};
  std::exception_ptr failure;
};

bool cancelled(int code) {
  using namespace platform::auth_code;
  return code == userCancel || code == userFallback || code == systemCancel || code == appCancel;
}

}  // namespace

std::unique_ptr<platform::AuthContext> authenticate(const std::string& reason) {
  return authenticate(reason, platform::newAuthContext());
}

std::unique_ptr<platform::AuthContext> authenticate(
    const std::string& reason, std::unique_ptr<platform::AuthContext> context) {
  context->reuseDuration = 0;
  std::optional<platform::AuthError> why;
  if (!context->canEvaluatePolicy(platform::deviceOwnerAuthentication, why)) {
    throw Failure("no-authentication: " + std::string(why ? why->what() : ""));
  }

  auto outcome = std::make_shared<Outcome>();
  context->evaluatePolicy(platform::deviceOwnerAuthentication, reason,
                          [outcome](bool success, std::exception_ptr error) {
                            if (!success) {
                              outcome->failure =
                                  error ? error : std::make_exception_ptr(Failure("denied"));
                            }
                            outcome->done.release();
                          });
  outcome->done.acquire();
  if (!outcome->failure) return context;

  try {
    std::rethrow_exception(outcome->failure);
  } catch (const platform::AuthError& error) {
    if (cancelled(error.code)) throw Failure("cancelled");
  } catch (...) {
  }
  throw Failure("denied");
}

}  // namespace tarn::custody
