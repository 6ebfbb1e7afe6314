// The request rules, black-box through "open" on a store without a key: every request that
// passes the reader ends in "no-key", so the reader's own verdicts are easy to tell apart.
#include <gtest/gtest.h>

#include "support/process.hpp"

namespace tarn::test {
namespace {

std::string items(std::size_t count, const std::string& item = "\"x\"") {
  std::string out = "{\"items\":[";
  for (std::size_t i = 0; i < count; ++i) out += (i ? "," : "") + item;
  return out + "]}";
}

// Exactly `size` bytes of valid JSON: an object padded with trailing white space.
std::string padded(std::size_t size) {
  std::string out = "{\"items\":[]}";
  out.resize(size, ' ');
  return out;
}

Outcome openRequest(const std::string& input) {
  TempDir store;
  Launch launch = tarnWemb({"open", "--dir", store.path()}, input);
  launch.env["PATH"] = "/nonexistent";
  return run(launch);
}

TEST(Request, VerdictsOfTheReader) {
  const std::string parserError = "PARSER";
  const struct {
    const char* name;
    std::string input;
    std::string reply;  // PARSER: any description other than the program's own words
  } cases[] = {
      {"empty input is an empty request", "", "{\"error\":\"items\"}\n"},
      {"a lone line feed", "\n", parserError},
      {"empty object", "{}", "{\"error\":\"items\"}\n"},
      {"object and white space", "{\"items\":[]}\n\t ", "{\"error\":\"no-key\"}\n"},
      {"array", "[]", "{\"error\":\"input\"}\n"},
      {"number", "42", parserError},
      {"string", "\"items\"", parserError},
      {"null", "null", parserError},
      {"two objects", "{}{}", parserError},
      {"NUL after the object", std::string("{}\0{\"items\":[]}", 15), parserError},
      {"trailing comma", "{\"items\":[],}", parserError},
      {"invalid UTF-8 in a string", "{\"items\":[\"\xff\"]}", parserError},
      {"invalid UTF-8 outside", "{\"items\":[]}\xc3", parserError},
      {"lone surrogate", "{\"items\":[\"\\ud800\"]}", parserError},
      {"huge number", "{\"items\":[], \"n\": 1e400}", "ANY"},
      {"8 MiB of [", std::string(8 << 20, '['), parserError},
      {"exactly 8 MiB", padded(8'388'608), "{\"error\":\"no-key\"}\n"},
      {"one byte more", padded(8'388'609), "{\"error\":\"input\"}\n"},
      {"no items", "{\"reason\":\"x\"}", "{\"error\":\"items\"}\n"},
      {"items null", "{\"items\":null}", "{\"error\":\"items\"}\n"},
      {"a lone string", "{\"items\":\"AQ\"}", "{\"error\":\"items\"}\n"},
      {"mixed types", "{\"items\":[\"a\",7]}", "{\"error\":\"items\"}\n"},
      {"nested array", "{\"items\":[[\"a\"]]}", "{\"error\":\"items\"}\n"},
      {"duplicate key, first wins", "{\"items\":[],\"items\":7}", "{\"error\":\"no-key\"}\n"},
      {"duplicate key, first refused", "{\"items\":7,\"items\":[]}", "{\"error\":\"items\"}\n"},
      {"5000 items", items(5000), "{\"error\":\"no-key\"}\n"},
      {"5001 items", items(5001), "{\"error\":\"items\"}\n"},
      {"no items, no key", "{}", "{\"error\":\"items\"}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = openRequest(c.input);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 1);
    ASSERT_FALSE(outcome.out.empty());
    EXPECT_EQ(outcome.out.find('\n'), outcome.out.size() - 1) << outcome.out;
    if (c.reply == parserError) {
      EXPECT_EQ(outcome.out.rfind("{\"error\":\"", 0), 0u) << outcome.out;
      for (const char* own : {"\"input\"", "\"items\"", "\"no-key\"", "\"output\""}) {
        EXPECT_EQ(outcome.out.find(own), std::string::npos) << outcome.out;
      }
    } else if (c.reply != "ANY") {
      EXPECT_EQ(outcome.out, c.reply);
    }
  }
}

TEST(Request, HugeInputIsDrainedAndRefused) {
  Outcome outcome = openRequest(std::string(64 << 20, 'x'));
  EXPECT_EQ(outcome.out, "{\"error\":\"input\"}\n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.unreadInput, 0u);
}

TEST(Request, DeepNestingIsRefusedWithoutCrashing) {
  for (std::size_t depth : {511u, 100'000u}) {
    std::string nested =
        "{\"items\":[],\"deep\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
    Outcome outcome = openRequest(nested);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "");
    if (depth < 512) {
      EXPECT_EQ(outcome.out, "{\"error\":\"no-key\"}\n");
    } else {
      EXPECT_NE(outcome.out, "{\"error\":\"no-key\"}\n");
    }
  }
}

}  // namespace
}  // namespace tarn::test
