#pragma once

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "platform/auth_context.hpp"
#include "platform/secure_element.hpp"

namespace tarn::test {

// An authentication that has or has not been passed; a key asks it nothing else.
class Passed final : public platform::AuthContext {
 public:
  explicit Passed(bool evaluated) : evaluated_(evaluated) {}
  bool canEvaluatePolicy(int, std::optional<platform::AuthError>&) override { return true; }
  void evaluatePolicy(int, const std::string&, ReplyHandler) override {}
  bool evaluated() const override { return evaluated_; }

 private:
  bool evaluated_;
};

inline const platform::AccessControl userPresence{platform::AccessControl::privateKeyUsage |
                                                  platform::AccessControl::userPresence};

// The TPM element as the program gets it, pointed at `tcti` the way a user would.
inline std::unique_ptr<platform::SecureElement> elementOn(const std::string& tcti) {
  ::setenv("TARN_WEMB_TCTI", tcti.c_str(), 1);
  return platform::tpm();
}

}  // namespace tarn::test
