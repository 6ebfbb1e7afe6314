#include "envelope/base64.hpp"

#include <gtest/gtest.h>

#include <random>

namespace tarn::test {
namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Base64, Rfc4648VectorsBothWays) {
  const std::vector<std::pair<std::string_view, std::string_view>> cases = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xfb\xff\xbf", "+/+/"},  // the two characters beyond letters and digits
  };
  for (const auto& [plain, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(base64::encode(bytesOf(plain)), text);
    EXPECT_EQ(base64::decode(text), bytesOf(plain));
  }
}

TEST(Base64, RefusesEverythingButCanonicalPaddedText) {
  using namespace std::string_view_literals;
  const std::vector<std::pair<std::string_view, std::vector<std::string_view>>> refused = {
      {"length", {"Zg", "Zg=", "Zm8", "Z", "Zm9vY"}},
      {"non-canonical bits", {"Zh==", "Zm9=", "Zg9="}},
      {"whitespace", {"Zm9v\n", "Zm9v\r\n", "Zm\n9v", " Zm9v", "Zm9v ", "Zm 9", "Zm9\t"}},
      {"misplaced padding", {"Zg==Zm9v", "Zg==Zg==", "Zg=a", "Z=9v", "=Zm9", "====", "Z==="}},
      {"outside the alphabet", {"Zm9-", "Zm9_", "Zm9.", "Zm9*", "Zm9\0"sv, "Zm9\xc3"}},
      {"not ASCII", {"\xff\xff\xff\xff", "Zm9vZ\xc3\xa9="}},
  };
  for (const auto& [reason, texts] : refused) {
    for (std::string_view text : texts) {
      SCOPED_TRACE(std::string(reason) + ": " + testing::PrintToString(std::string(text)));
      EXPECT_EQ(base64::decode(text), std::nullopt);
    }
  }
}

TEST(Base64, EveryByteAndEveryLengthRoundTrips) {
  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  std::mt19937 random(7);
  for (std::size_t length = 0; length <= 300; ++length) {
    std::vector<std::uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    if (length == 256) bytes = all;
    const std::string text = base64::encode(bytes);
    ASSERT_EQ(text.size(), (length + 2) / 3 * 4);
    ASSERT_EQ(base64::decode(text), bytes) << length;
  }
}

TEST(Base64, EightMebibytesRoundTrip) {
  std::vector<std::uint8_t> bytes(8 << 20);
  std::mt19937 random(11);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  const std::string text = base64::encode(bytes);
  EXPECT_EQ(base64::decode(text), bytes);
  std::string broken = text;
  broken[broken.size() / 2] = '\n';
  EXPECT_EQ(base64::decode(broken), std::nullopt);
}

}  // namespace
}  // namespace tarn::test
