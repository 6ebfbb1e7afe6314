// What the binary cannot show cheaply: the envelope's known answers (envelope/vectors.json, made
// with python3-cryptography), Base64's canonical forms, UTF-8 repair and the cluster cut, and a
// PAM child its peer stopped (a row would wait out the prompt's two minutes first).
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/socket.h>

#include <fstream>
#include <future>
#include <sstream>

#include "base/base64.hpp"
#include "base/failure.hpp"
#include "base/text.hpp"
#include "envelope/envelope.hpp"
#include "envelope/openssl.hpp"
#include "prompt/pinentry.hpp"
#include "service/door.hpp"
#include "service/presence.hpp"

namespace tarn {
namespace {

const rapidjson::Document& vectors() {
  static const rapidjson::Document document = [] {
    std::stringstream text;
    text << std::ifstream(TARN_VECTORS).rdbuf();
    rapidjson::Document parsed;
    parsed.Parse(text.str().c_str());
    return parsed;
  }();
  return document;
}

std::vector<std::uint8_t> hex(std::string_view digits) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(digits.substr(i, 2)), nullptr, 16)));
  return bytes;
}

std::string_view text(const rapidjson::Value& value) {
  return {value.GetString(), value.GetStringLength()};
}

template <std::size_t N>
std::array<std::uint8_t, N> fixed(const rapidjson::Value& value) {
  std::array<std::uint8_t, N> out{};
  std::vector<std::uint8_t> bytes = hex(value.GetString());
  EXPECT_EQ(bytes.size(), N);
  std::copy_n(bytes.begin(), std::min(N, bytes.size()), out.begin());
  return out;
}

TEST(Envelope, SealsToTheKnownAnswers) {
  const envelope::Recipient recipient(fixed<65>(vectors()["recipient"]["public"]));
  for (const auto& v : vectors()["seal"].GetArray()) {
    SCOPED_TRACE(v["name"].GetString());
    EXPECT_EQ(envelope::detail::seal(text(v["text"]), recipient, fixed<32>(v["ephemeral"]),
                                     fixed<12>(v["nonce"])),
              v["sealed"].GetString());
  }
}

// What opening `sealed` with `key`'s private scalar gives, and whether it parsed.
std::pair<std::string, bool> opening(std::string_view sealed, const rapidjson::Value& key) {
  envelope::Sealed parsed;
  try {
    parsed = envelope::parse(sealed);
  } catch (const Failure& failure) {
    return {failure.message, false};
  }
  const auto own = envelope::openssl::keyPair(fixed<32>(key["private"]));
  const SecretBytes shared = envelope::openssl::sharedSecret(
      own.get(), envelope::openssl::publicKey(parsed.ephemeral).get());
  try {
    const SecretString text =
        envelope::open(parsed, fixed<65>(key["public"]), std::span(shared).first<32>());
    return {"text:" + std::string(text), true};
  } catch (const Failure& failure) {
    return {failure.message, true};
  } catch (const envelope::openssl::CryptoError&) {
    return {"platform-error", true};
  }
}

TEST(Envelope, OpensWithTheStatedOutcome) {
  for (const auto& v : vectors()["open"].GetArray()) {
    SCOPED_TRACE(v["name"].GetString());
    const std::string outcome = v["outcome"].GetString();
    EXPECT_EQ(opening(text(v["sealed"]), vectors()[v["key"].GetString()]),
              std::pair(outcome == "text" ? "text:" + std::string(text(v["text"])) : outcome,
                        v["parses"].GetBool()));
  }
}

TEST(Base64, CanonicalFormsOnly) {
  const std::pair<std::string_view, std::string_view> rfc4648[] = {
      {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"\xff\xfe", "//4="}};
  for (auto [bytes, text] : rfc4648) {
    std::vector<std::uint8_t> raw(bytes.begin(), bytes.end());
    EXPECT_EQ(base64Encode(raw), text);
    EXPECT_EQ(base64Decode(text), raw) << text;
  }
  for (std::string_view text : {"Zg", "Zg=", "Zh==", "Zm9=", "Zg==Zg==", "Zm9v\n", " Zm9v", "Zm-v",
                                "Zm_v", "=Zm9", "Zm9v====", "Z===", "\xc3\xa9Zm9"})
    EXPECT_EQ(base64Decode(text), std::nullopt) << text;
}

TEST(Text, RepairReplacesEachMaximalSubpart) {
  // a truncated sequence is one replacement, a surrogate three
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"a\xff\x62", "a\xEF\xBF\xBD\x62"},
      {"\xe2\x82\x78", "\xEF\xBF\xBD\x78"},
      {"\xed\xa0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xc0\xaf", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xf4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"}};
  for (auto [in, out] : cases) {
    EXPECT_EQ(std::string_view(repaired(in)), out);
    EXPECT_EQ(isUtf8(in), in == out);
  }
}

// OK, ERR (with its code), D, S and comment lines are what the stand-in pinentry answers every
// prompting row with; these are the kinds it never sends.
TEST(Assuan, RepliesByKind) {
  using Kind = prompt::AssuanReply::Kind;
  const std::pair<std::string_view, Kind> cases[] = {
      {"INQUIRE QUALITY", Kind::inquire}, {"OKAY", Kind::unknown}, {"D", Kind::unknown}};
  for (auto [line, kind] : cases) EXPECT_EQ(prompt::parseAssuanReply(line).kind, kind) << line;
}

TEST(Text, CutsAtClusters) {
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  EXPECT_EQ(graphemes(family + "x", 1), family);
  EXPECT_EQ(graphemes("\r\nx", 1), "\r\n");
  EXPECT_EQ(graphemes("\u1100\u1161\u11A8!", 1), "\u1100\u1161\u11A8");
  EXPECT_EQ(graphemes("ab\xff\xcc\x81x", 3), "ab\xff\xcc\x81");  // a bad byte clusters as U+FFFD
  EXPECT_EQ(graphemes("abc", 5), "abc");
}

TEST(Door, ServesAccountsInTurn) {
  const uid_t uids[] = {1000, 1000, 1000, 1001, 1000, 1002, 1001};
  EXPECT_EQ(service::inTurn(uids), (std::vector<std::size_t>{0, 3, 5, 1, 6, 2, 4}));
}

TEST(Presence, AStoppedPamChildIsKilledAndReaped) {
  wire::Link link{Descriptor(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))};
  service::PresenceCheck check(link, {65534, 65534, "nobody", true}, std::chrono::seconds(1));
  pid_t child = -1;
  std::ifstream("/proc/self/task/" + std::to_string(::getpid()) + "/children") >> child;
  ASSERT_GT(child, 0);
  ASSERT_EQ(::kill(child, SIGSTOP), 0);
  // a parent that waits on its child without end gets it back only when the test kills it
  auto verdict = std::async(std::launch::async, [&] { return check.run(); });
  if (verdict.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
    ::kill(child, SIGKILL);
  EXPECT_EQ(verdict.get(), service::Verdict::late);
  EXPECT_NE(::kill(child, 0), 0);
}

}  // namespace
}  // namespace tarn
