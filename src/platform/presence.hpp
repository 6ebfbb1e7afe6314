#pragma once

#include <memory>

#include "platform/auth_context.hpp"

namespace tarn::platform {

// Proof that the user was asked and answered: the evaluated authentication it stands for.
class Presence {
 public:
  explicit Presence(std::unique_ptr<AuthContext> evaluated) : context_(std::move(evaluated)) {
    if (!context_ || !context_->evaluated()) throw AuthError(-1, "the prompt was not answered");
  }

 private:
  std::unique_ptr<AuthContext> context_;
};

}  // namespace tarn::platform
