#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "channel/channel.hpp"

namespace tarn::channel {
namespace {

// Every write reply() makes, each as one record of a sequenced-packet socket.
std::vector<std::string> writes(const Reply& answer) {
  int ends[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
  reply(answer, ends[0]);
  ::close(ends[0]);
  std::vector<std::string> records;
  char buffer[65536];
  for (ssize_t n; (n = ::recv(ends[1], buffer, sizeof buffer, 0)) > 0;)
    records.emplace_back(buffer, n);
  ::close(ends[1]);
  return records;
}

Json object(std::initializer_list<std::pair<const char*, Json>> members) {
  Json body = Json::object();
  for (const auto& [key, value] : members) body[key] = value;
  return body;
}

Json text(std::string_view s) { return Json(SecretString(s)); }

TEST(Reply, WritesOneCompactLineInTwoWrites) {
  const std::vector<std::pair<Json, std::string>> cases = {
      {Json::object(), "{}"},
      {object({{"ok", true}}), R"({"ok":true})"},
      {object({{"secureEnclave", false}, {"key", true}}), R"({"key":true,"secureEnclave":false})"},
      {object({{"items", Json::array({text("a\nb"), text("")})}}), R"({"items":["a\nb",""]})"},
      {object({{"items", Json::array({text("fine"), text("bad \xFF byte")})}}),
       R"({"error":"output"})"},
      {object({{"error", text("\xED\xA0\x80")}}), R"({"error":"output"})"},
  };
  for (const auto& [body, expected] : cases) {
    for (int code : {0, 1}) {
      EXPECT_EQ(writes(Reply{body, code}), (std::vector<std::string>{expected, "\n"}));
    }
  }
}

TEST(Reply, FinishesOnANonBlockingPipeAndIgnoresADeadOne) {
  std::string big(3 << 20, 'x');
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
  ::fcntl(ends[0], F_SETFL, 0);
  std::string received;
  std::thread reader([&] {
    char buffer[4096];
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) received.append(buffer, n);
  });
  reply(Reply{object({{"a", text(big)}})}, ends[1]);
  ::close(ends[1]);
  reader.join();
  ::close(ends[0]);
  EXPECT_EQ(received, "{\"a\":\"" + big + "\"}\n");

  reply(Reply{object({{"ok", true}})}, -1);  // nothing to write to: no crash, no hang
}

// 301 user-perceived characters, many of them several code points long.
std::vector<std::string> clusters() {
  const std::vector<std::string> kinds = {
      "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7",  // family, ZWJ
      "\xF0\x9F\x87\xB5\xF0\x9F\x87\xB1",                                          // flag PL
      "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA",                                          // flag DE
      "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD",                          // thumbs up, skin tone
      "e\xCC\x81",                                                 // e, combining acute
      "a\xCC\x88\xCC\xB1",                                         // two marks
      "\xF0\x9F\x8F\xB3\xEF\xB8\x8F\xE2\x80\x8D\xF0\x9F\x8C\x88",  // rainbow flag
      "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8",                      // Hangul jamo L V T
      "\r\n",
      "x",
  };
  std::vector<std::string> out;
  for (std::size_t i = 0; i < 301; ++i) out.push_back(kinds[i % kinds.size()]);
  return out;
}

std::string joined(const std::vector<std::string>& parts, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += parts[i];
  return out;
}

TEST(ErrorReply, FailureWholeOtherDescriptionsRepairedAndCut) {
  const std::string long301 = joined(clusters(), 301);
  const std::string cut300 = joined(clusters(), 300);
  struct Case {
    std::function<void()> raise;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {[] { throw Failure("no-key"); }, "no-key"},
      {[&] { throw Failure(long301); }, long301},
      {[&] { throw std::runtime_error(long301); }, cut300},
      {[&] { throw std::runtime_error(cut300); }, cut300},
      {[] { throw std::runtime_error("bad \xFF\xC3 byte"); }, "bad \xEF\xBF\xBD\xEF\xBF\xBD byte"},
      {[] { throw std::runtime_error(""); }, ""},
  };
  for (const Case& c : cases) {
    Reply answer;
    try {
      c.raise();
    } catch (const std::exception& error) {
      answer = errorReply(error);
    }
    EXPECT_EQ(answer.code, 1);
    EXPECT_EQ(answer.body, object({{"error", text(c.expected)}}));
    EXPECT_EQ(writes(answer)[0], std::string(object({{"error", text(c.expected)}}).dump()));
  }
}

TEST(ErrorReply, ParserDescriptionQuotingALongTokenIsCut) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  std::string request = "{\"a\":\"" + std::string(5000, 'x') + "\xFF\"}";
  ASSERT_EQ(::write(ends[1], request.data(), request.size()), static_cast<ssize_t>(request.size()));
  ::close(ends[1]);
  try {
    input(ends[0]);
    ADD_FAILURE();
  } catch (const std::exception& error) {
    std::string said = errorReply(error).body["error"].get<SecretString>().c_str();
    EXPECT_EQ(said, error.what());
    EXPECT_EQ(said.size(), 300u);
    EXPECT_EQ(
        said.rfind("[json.exception.parse_error.101] parse error at line 1, column 5007: "
                   "syntax error while parsing value - invalid string: ill-formed UTF-8 byte; "
                   "last read: '\"xxx",
                   0),
        0u);
  }
  ::close(ends[0]);
}

}  // namespace
}  // namespace tarn::channel
