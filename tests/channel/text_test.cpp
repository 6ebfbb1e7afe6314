#include <gtest/gtest.h>

#include "base/text.hpp"
#include "channel/channel.hpp"

namespace tarn::channel {
namespace {

const std::string fffd = "\xEF\xBF\xBD";

TEST(ValidUtf8, ReplacesEachMaximalIllFormedSubpart) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"plain", "plain"},
      {"za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF",
       "za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"\xFF", fffd},
      {"\x80\xBF", fffd + fffd},
      {"\xC0\xAF", fffd + fffd},                        // overlong
      {"\xE0\x80\xAF", fffd + fffd + fffd},             // overlong
      {"\xED\xA0\x80", fffd + fffd + fffd},             // surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
      {"\xE2\x82", fffd},                               // cut short at the end
      {"\xE2\x82x", fffd + "x"},
      {"\xF0\x9F\x98x\xF0\x9F\x98", fffd + "x" + fffd},
      {"\xC3", fffd},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(std::string(repaired(in)), out) << testing::PrintToString(in);
}

TEST(Graphemes, CutsAfterWholeClusters) {
  const std::string family =
      "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
  const std::string flags = "\xF0\x9F\x87\xB5\xF0\x9F\x87\xB1\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";
  struct Case {
    std::string text;
    std::size_t count;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", 3, ""},
      {"abc", 0, ""},
      {"abc", 2, "ab"},
      {"abc", 9, "abc"},
      {"e\xCC\x81x", 1, "e\xCC\x81"},
      {family + "x", 1, family},
      {flags, 1, flags.substr(0, 8)},
      {flags + "\xF0\x9F\x87\xB5", 2, flags},
      {"\r\nx", 1, "\r\n"},
      {"\xFF\xCC\x81x", 1, "\xFF\xCC\x81"},  // an ill-formed byte takes its marks like U+FFFD
      {"\xE2\x82\xE2\x82", 1, "\xE2\x82"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(graphemes(c.text, c.count), c.expected) << testing::PrintToString(c.text);
  }
}

}  // namespace
}  // namespace tarn::channel
