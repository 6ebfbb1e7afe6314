#pragma once

#include <exception>
#include <string>

namespace tarn {

// The program's own refusal. Its message reaches the caller whole, as the value of "error".
// Every other exception is a platform error whose what() is the platform's own description.
struct Failure : std::exception {
  explicit Failure(std::string text) : message(std::move(text)) {}
  const char* what() const noexcept override { return message.c_str(); }

  std::string message;
};

}  // namespace tarn
