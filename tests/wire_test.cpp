// The custody protocol's reader and writer: what the service and the command accept of each other.
#include "wire/wire.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarn::wire {
namespace {

// Parses `text` as one message read off the socket; the error's text when it is refused.
std::variant<Message, std::string> read(std::string text, SecretBytes& buffer) {
  buffer.assign(text.begin(), text.end());
  buffer.resize(text.size() + padding, 0);
  try {
    return parse(reinterpret_cast<char*>(buffer.data()), text.size());
  } catch (const ProtocolError& error) {
    return std::string(error.what());
  }
}

std::string points(std::size_t n) {
  std::string text = R"({"call":"agree","key":"AA==","points":[)";
  for (std::size_t i = 0; i < n; ++i) text += i ? R"(,"BA==")" : R"("BA==")";
  return text + "]}";
}

TEST(Wire, TakesOnlyFlatObjectsOfKnownMembers) {
  const struct {
    std::string text;
    const char* refusal;  // nullptr: accepted
  } cases[] = {
      {R"({"call":"status"})", nullptr},
      {R"({"ask":"Password: ","visible":false})", nullptr},
      {R"({"point":"BA==","secrets":[]})", nullptr},
      {"{}", nullptr},
      {points(maxList), nullptr},
      {points(maxList + 1), "protocol: a list that is too long"},
      {R"({"call":"status","call":"agree"})", "protocol: a member given twice"},
      {R"({"cal":"status"})", "protocol: an unknown member"},
      {R"({"tpm":1})", "protocol: a value of no allowed kind"},
      {R"({"answer":null})", "protocol: a value of no allowed kind"},
      {R"({"call":"x","key":{"a":"b"}})", "protocol: a value of no allowed kind"},
      {R"({"points":["a",["b"]]})", "protocol: a value of no allowed kind"},
      {R"({"call":["status"]})", "protocol: a value of no allowed kind"},
      {R"({"tpm":"true"})", "protocol: a value of no allowed kind"},
      {R"(["call"])", "protocol: a value of no allowed kind"},
      {R"("call")", "protocol: a value of no allowed kind"},
      {"{\"say\":\"\xff\"}", "protocol: Invalid encoding in string."},
      {R"({"call":"status"} {})",
       "protocol: The document root must not be followed by other values."},
      {R"({"call":"status")", "protocol: Missing a comma or '}' after an object member."},
      {"", "protocol: The document is empty."},
  };
  SecretBytes buffer;
  for (const auto& c : cases) {
    auto got = read(c.text, buffer);
    if (c.refusal == nullptr) {
      EXPECT_TRUE(std::holds_alternative<Message>(got)) << c.text.substr(0, 80);
    } else {
      auto* error = std::get_if<std::string>(&got);
      ASSERT_NE(error, nullptr) << c.text.substr(0, 80);
      EXPECT_EQ(*error, c.refusal) << c.text.substr(0, 80);
    }
  }
}

TEST(Wire, WritesWhatItReadsBack) {
  const std::string awkward = std::string("a \"quoted\" \\ line\n\x01\x1f end \xe2\x9c\x93", 28);
  std::vector<std::string> list = {"", awkward};
  SecretString written =
      Writer().text("say", awkward).flag("warning", true).list("secrets", list).finish();
  ASSERT_EQ(written.back(), '\0');
  SecretBytes buffer;
  auto got = read(std::string(written.data(), written.size() - 1), buffer);
  const Message& m = std::get<Message>(got);
  EXPECT_EQ(*m.say, awkward);
  EXPECT_EQ(m.warning, true);
  EXPECT_EQ(*m.secrets, (std::vector<std::string_view>{"", awkward}));
}

}  // namespace
}  // namespace tarn::wire
