#include "custody/authenticate.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "base/failure.hpp"
#include "custody/fakes.hpp"

namespace tarn::custody {
namespace {

using platform::AuthContext;
using platform::AuthError;
using test::FakeAuthContext;

std::function<void(const AuthContext::ReplyHandler&)> replies(bool success,
                                                              std::exception_ptr error) {
  return [success, error](const AuthContext::ReplyHandler& reply) {
    // late on purpose: the caller must wait for the handler, not for evaluatePolicy
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    reply(success, error);
  };
}

TEST(Authenticate, OutcomesOfThePrompt) {
  auto code = [](int c) { return std::make_exception_ptr(AuthError(c, "prompt said no")); };
  const struct {
    const char* name;
    bool success;
    std::exception_ptr error;
    std::string expected;
  } cases[] = {
      {"passed", true, nullptr, "ok"},
      {"passed with an error beside it", true, code(-1), "ok"},
      {"user cancel", false, code(-2), "cancelled"},
      {"user fallback", false, code(-3), "cancelled"},
      {"system cancel", false, code(-4), "cancelled"},
      {"app cancel", false, code(-9), "cancelled"},
      {"three wrong passwords", false, code(-1), "denied"},
      {"other code", false, code(-5), "denied"},
      {"not an auth error", false, std::make_exception_ptr(std::runtime_error("pam")), "denied"},
      {"refused without an error", false, nullptr, "denied"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto context = std::make_unique<FakeAuthContext>();
    auto* fake = context.get();
    fake->reuseDuration = 30;
    fake->answer = replies(c.success, c.error);
    std::string outcome;
    try {
      auto returned = authenticate("why", std::move(context));
      EXPECT_EQ(returned.get(), fake);
      EXPECT_EQ(fake->reuseDuration, 0);
      EXPECT_EQ(fake->shownReason, "why");
      outcome = "ok";
    } catch (const Failure& failure) {
      outcome = failure.message;
    }
    EXPECT_EQ(outcome, c.expected);
  }
}

TEST(Authenticate, UnavailablePromptIsReportedWithoutEvaluating) {
  const struct {
    std::optional<AuthError> why;
    std::string expected;
  } cases[] = {
      {AuthError(-5, "no pinentry program on PATH"),
       "no-authentication: no pinentry program on PATH"},
      {std::nullopt, "no-authentication: "},
  };
  for (const auto& c : cases) {
    auto context = std::make_unique<FakeAuthContext>();
    context->canEvaluate = false;
    context->whyNot = c.why;
    bool prompted = false;
    context->answer = [&prompted](const AuthContext::ReplyHandler& reply) {
      prompted = true;
      reply(true, nullptr);
    };
    std::string outcome;
    try {
      authenticate("why", std::move(context));
    } catch (const Failure& failure) {
      outcome = failure.message;
    }
    EXPECT_EQ(outcome, c.expected);
    EXPECT_FALSE(prompted);
  }
}

}  // namespace
}  // namespace tarn::custody
