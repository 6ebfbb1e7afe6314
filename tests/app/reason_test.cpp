#include <gtest/gtest.h>

#include "app/request.hpp"

namespace tarn::app {
namespace {

channel::Json request(const std::string& reasonValue) {
  return channel::Json::parse(SecretString("{\"reason\":" + reasonValue + "}"));
}

std::string repeat(const std::string& unit, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += unit;
  return out;
}

TEST(Reason, TakenFromTheRequestThenCut) {
  const std::string family =
      "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
  const std::string accented = "e\xCC\x81\xCC\xA3";  // one character of three code points
  const struct {
    const char* name;
    channel::Json request;
    std::string expected;
  } cases[] = {
      {"empty request", channel::Json::object(), "Tarn Studio"},
      {"no reason", request("null"), "Tarn Studio"},
      {"a number", request("42"), "Tarn Studio"},
      {"an array of strings", request("[\"x\"]"), "Tarn Studio"},
      {"an object", request("{\"reason\":\"x\"}"), "Tarn Studio"},
      {"empty string is kept", request("\"\""), ""},
      {"short text", request("\"Unlock the vault\""), "Unlock the vault"},
      {"150 characters pass", request("\"" + repeat("a", 150) + "\""), repeat("a", 150)},
      {"200 characters are cut", request("\"" + repeat("b", 200) + "\""), repeat("b", 150)},
      {"clusters are never split", request("\"" + repeat(family, 151) + "\""), repeat(family, 150)},
      {"combining marks stay with their base", request("\"" + repeat(accented, 160) + "\""),
       repeat(accented, 150)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(reason(c.request), c.expected);
  }
}

}  // namespace
}  // namespace tarn::app
