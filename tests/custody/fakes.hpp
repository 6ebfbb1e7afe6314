#pragma once

#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "platform/auth_context.hpp"
#include "platform/secure_element.hpp"

namespace tarn::test {

// A secure element in memory: keys are their stored bytes, the public key is derived from them.
class FakeElement : public platform::SecureElement {
 public:
  bool available = true;
  int created = 0;
  int restored = 0;

  bool isAvailable() override { return available; }

  std::unique_ptr<platform::EnclaveKey> create(const platform::AccessControl& access) override {
    ++created;
    lastAccess = access.flags;
    return std::make_unique<Key>(
        std::vector<std::uint8_t>{'k', static_cast<std::uint8_t>(created)});
  }

  std::unique_ptr<platform::EnclaveKey> restore(std::span<const std::uint8_t> data,
                                                const platform::AuthContext*) override {
    ++restored;
    if (data.size() != 2 || data[0] != 'k') throw platform::SecureElementError("not a key");
    return std::make_unique<Key>(std::vector<std::uint8_t>(data.begin(), data.end()));
  }

  std::uint32_t lastAccess = 0;

 private:
  struct Key : platform::EnclaveKey {
    explicit Key(std::vector<std::uint8_t> bytes) : data(std::move(bytes)) {
      point.fill(data[1]);
      point[0] = 4;
    }
    const Point& publicKey() const override { return point; }
    SecretBytes sharedSecret(const Point&) override { return {}; }
    std::vector<std::uint8_t> dataRepresentation() const override { return data; }

    std::vector<std::uint8_t> data;
    Point point{};
  };
};

// A prompt whose outcome the test decides; the reply comes from a thread of its own.
class FakeAuthContext : public platform::AuthContext {
 public:
  bool canEvaluate = true;
  std::optional<platform::AuthError> whyNot;
  std::function<void(const ReplyHandler&)> answer;
  std::string shownReason;
  int evaluations = 0;

  ~FakeAuthContext() override {
    if (worker_.joinable()) worker_.join();
  }

  bool canEvaluatePolicy(int, std::optional<platform::AuthError>& error) override {
    error = whyNot;
    return canEvaluate;
  }

  void evaluatePolicy(int, const std::string& reason, ReplyHandler reply) override {
    ++evaluations;
    shownReason = reason;
    worker_ = std::thread([this, reply] { answer(reply); });
  }

  bool evaluated() const override { return false; }

 private:
  std::thread worker_;
};

}  // namespace tarn::test
