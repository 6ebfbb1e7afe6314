#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "channel/channel.hpp"

namespace tarn::channel {
namespace {

using namespace std::string_literals;

enum class Kind { object, failure, parseError };

struct Outcome {
  Kind kind;
  std::string text;  // the object's compact form, the Failure's message or the parser's description
};

// input() on the read end of a pipe, while a thread writes `bytes` into it and closes it.
Outcome feed(const std::string& bytes, bool nonBlocking = false) {
  ::signal(SIGPIPE, SIG_IGN);  // a reader that stops early must fail the test, not kill it
  int ends[2];
  EXPECT_EQ(::pipe2(ends, O_CLOEXEC | (nonBlocking ? O_NONBLOCK : 0)), 0);
  if (nonBlocking) ::fcntl(ends[1], F_SETFL, 0);
  std::size_t written = 0;
  std::thread writer([&] {
    while (written < bytes.size()) {
      ssize_t n = ::write(ends[1], bytes.data() + written,
                          std::min<std::size_t>(bytes.size() - written, 1 << 20));
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    ::close(ends[1]);
  });
  Outcome outcome;
  try {
    outcome = {Kind::object, std::string(input(ends[0]).dump())};
  } catch (const Failure& failure) {
    outcome = {Kind::failure, failure.message};
  } catch (const std::exception& error) {
    outcome = {Kind::parseError, error.what()};
  }
  ::close(ends[0]);
  writer.join();
  return outcome;
}

std::string nested(std::size_t depth, const std::string& innermost = "") {
  return std::string(depth, '[') + innermost + std::string(depth, ']');
}

struct Case {
  std::string bytes;
  Kind kind;
  std::string expected;  // compact object, Failure message, or a piece of the parser's description
};

// The request cases a caller can send run black-box in tests/app/request_test.cpp; these are the
// reader's finer points.
TEST(Input, ReadsOneStrictJsonObject) {
  const std::string objectOf512 = "{\"a\":" + nested(511) + "}";
  const std::vector<Case> cases = {
      {" \t\r\n{ } \r\n", Kind::object, "{}"},
      {"\xEF\xBB\xBF{}", Kind::object, "{}"},
      {"[1,{\"a\":[\"b\"]},null]", Kind::failure, "input"},
      {"[] x", Kind::parseError, "invalid literal"},
      {"true", Kind::parseError, "unexpected true literal"},
      {"{\"s\":\"t\",\"i\":-1,\"u\":1,\"f\":1.5,\"t\":true,\"z\":null,\"a\":[[]],\"o\":{\"p\":{}}}",
       Kind::object,
       "{\"a\":[[]],\"f\":1.5,\"i\":-1,\"o\":{\"p\":{}},\"s\":\"t\",\"t\":true,\"u\":1,\"z\":"
       "null}"},
      // duplicate keys: the first wins, whatever comes later and however deep
      {"{\"a\":\"x\",\"a\":[\"y\",{\"a\":[]}],\"b\":true}", Kind::object,
       "{\"a\":\"x\",\"b\":true}"},
      {"{\"o\":{\"k\":1,\"k\":{\"k\":[2]}},\"o\":3,\"p\":[]}", Kind::object,
       "{\"o\":{\"k\":1},\"p\":[]}"},
      {"{\"a\":\"\xC0\xAF\"}", Kind::parseError, "ill-formed UTF-8 byte"},
      {"{\"a\":\"\xED\xA0\x80\"}", Kind::parseError, "ill-formed UTF-8 byte"},
      {"{\xFF:1}", Kind::parseError, "invalid literal"},
      {"{\"a\":\"\\udc00\"}", Kind::parseError, "must follow U+D800..U+DBFF"},
      {"{\"a\":\"\\ud83d\\ude00\\n\"}", Kind::object, "{\"a\":\"\xF0\x9F\x98\x80\\n\"}"},
      {"{} // note", Kind::parseError, "invalid literal"},
      // NUL bytes: never the end of the text
      {"{}\0"s, Kind::parseError, "last read: '{}<U+0000>'"},
      {"\0{}"s, Kind::parseError, "last read: '<U+0000>'"},
      {"{\"a\":\"\\\"\"}\0"s, Kind::parseError, "<U+0000>'; expected end of input"},
      {"{\"a\":\"\\\\\"}\0"s, Kind::parseError, "<U+0000>'; expected end of input"},
      {"{\"a\":\"x\0\"}"s, Kind::parseError, "U+0000 (NUL) must be escaped"},
      {"{\"a\":-1e400}", Kind::parseError, "number overflow"},
      {"{\"a\":1e-400,\"b\":18446744073709551616}", Kind::object,
       "{\"a\":0.0,\"b\":1.8446744073709552e+19}"},
      // nesting: 512 arrays and objects open at once, not 513, counted in skipped values too
      {objectOf512, Kind::object, objectOf512},
      {"{\"a\":" + nested(512) + "}", Kind::parseError, "column 517: syntax error"},
      {"{\"a\":1,\"a\":" + nested(512) + "}", Kind::parseError, "more than 512"},
      {nested(513), Kind::parseError, "more than 512"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes.substr(0, 80)));
    Outcome outcome = feed(c.bytes);
    EXPECT_EQ(outcome.kind, c.kind) << outcome.text;
    if (c.kind == Kind::parseError) {
      EXPECT_NE(outcome.text.find(c.expected), std::string::npos) << outcome.text;
      EXPECT_EQ(outcome.text.rfind("[json.exception.", 0), 0u) << outcome.text;
    } else {
      EXPECT_EQ(outcome.text, c.expected);
    }
  }
}

std::string objectOfSize(std::size_t size) {
  return "{\"a\":\"" + std::string(size - 8, 'x') + "\"}";
}

TEST(Input, WaitsOnANonBlockingDescriptor) {
  Outcome outcome = feed(objectOfSize(3 << 20), true);
  EXPECT_EQ(outcome.kind, Kind::object);
  EXPECT_EQ(outcome.text.size(), 3u << 20);
}

TEST(Input, ReadErrorIsAPlatformError) {
  try {
    input(-1);
  } catch (const Failure&) {
    FAIL();
  } catch (const std::exception& error) {
    EXPECT_STREQ(error.what(), "standard input: Bad file descriptor");
  }
}

struct StringsCase {
  std::optional<std::string> value;                       // JSON text; nullopt: the key is absent
  std::optional<std::vector<std::string_view>> expected;  // nullopt: Failure "items"
};

std::string arrayOf(std::size_t count) {
  std::string text = "[";
  for (std::size_t i = 0; i < count; ++i) text += i == 0 ? "\"s\"" : ",\"s\"";
  return text + "]";
}

TEST(Strings, TakesAnArrayOfAtMost5000Strings) {
  const std::vector<StringsCase> cases = {
      {std::nullopt, std::nullopt},
      {"{\"a\":\"b\"}", std::nullopt},
      {"[true]", std::nullopt},
      {"[null]", std::nullopt},
      {"[{}]", std::nullopt},
      {arrayOf(5001), std::nullopt},
      {"[]", std::vector<std::string_view>{}},
      {"[\"b\",\"\",\"a\",\"\"]", std::vector<std::string_view>{"b", "", "a", ""}},
      {arrayOf(5000), std::vector<std::string_view>(5000, "s")},
  };
  for (const StringsCase& c : cases) {
    SCOPED_TRACE(c.value.value_or("absent").substr(0, 40));
    std::optional<Json> value;
    if (c.value) value = Json::parse(*c.value);
    try {
      std::vector<std::string_view> list = strings(value ? &*value : nullptr);
      ASSERT_TRUE(c.expected);
      EXPECT_EQ(list, *c.expected);
    } catch (const Failure& failure) {
      EXPECT_FALSE(c.expected);
      EXPECT_EQ(failure.message, "items");
    }
  }
}

}  // namespace
}  // namespace tarn::channel
