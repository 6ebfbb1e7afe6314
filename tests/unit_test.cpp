// What the binary cannot show cheaply: the envelope's known answers (envelope/vectors.json, made
// with python3-cryptography), Base64's canonical forms, UTF-8 repair and the cluster cut.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <fstream>
#include <sstream>

#include "base/failure.hpp"
#include "base/text.hpp"
#include "envelope/base64.hpp"
#include "envelope/detail.hpp"

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

std::vector<std::uint8_t> hex(const rapidjson::Value& value) {
  std::string digits = value.GetString();
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string_view text(const rapidjson::Value& value) {
  return {value.GetString(), value.GetStringLength()};
}

template <std::size_t N>
std::array<std::uint8_t, N> fixed(const rapidjson::Value& value) {
  std::array<std::uint8_t, N> out{};
  std::vector<std::uint8_t> bytes = hex(value);
  EXPECT_EQ(bytes.size(), N);
  std::copy_n(bytes.begin(), std::min(N, bytes.size()), out.begin());
  return out;
}

// A key whose private scalar the vectors state, counting its agreements.
struct KnownKey : platform::KeyAgreement {
  explicit KnownKey(const char* name)
      : own(envelope::openssl::keyPair(fixed<32>(vectors()[name]["private"]))),
        point(fixed<65>(vectors()[name]["public"])) {}
  const Point& publicKey() const override { return point; }
  SecretBytes sharedSecret(const Point& peer) override {
    ++agreements;
    return envelope::openssl::sharedSecret(own.get(), envelope::openssl::publicKey(peer).get());
  }
  envelope::openssl::Pkey own;
  Point point;
  int agreements = 0;
};

TEST(Envelope, SealsToTheKnownAnswers) {
  const envelope::Recipient recipient(fixed<65>(vectors()["recipient"]["public"]));
  for (const auto& v : vectors()["seal"].GetArray()) {
    SCOPED_TRACE(v["name"].GetString());
    auto ephemeral = envelope::detail::ephemeral(fixed<32>(v["ephemeral"]));
    EXPECT_EQ(envelope::detail::seal(text(v["text"]), recipient, ephemeral, hex(v["nonce"])),
              v["sealed"].GetString());
  }
}

TEST(Envelope, OpensWithTheStatedOutcome) {
  for (const auto& v : vectors()["open"].GetArray()) {
    SCOPED_TRACE(v["name"].GetString());
    KnownKey key(v["key"].GetString());
    std::string sealed = v["sealed"].GetString(), outcome = v["outcome"].GetString();
    EXPECT_EQ(v["sealedData"].GetBool(), [&] {
      try {
        return !envelope::sealedData(sealed).empty();
      } catch (const Failure& failure) {
        return failure.message != "sealed-format";
      }
    }());
    try {
      SecretString opened = envelope::open(sealed, key);
      EXPECT_EQ(outcome, "text");
      EXPECT_EQ(std::string_view(opened), text(v["text"]));
    } catch (const Failure& failure) {
      EXPECT_EQ(outcome, failure.message);
      EXPECT_TRUE(v["sealedData"].GetBool() || key.agreements == 0);
    } catch (const envelope::CryptoError& error) {
      EXPECT_EQ(outcome, "platform-error") << error.what();
    }
  }
}

TEST(Base64, CanonicalFormsOnly) {
  const std::pair<std::string_view, std::string_view> rfc4648[] = {
      {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"\xff\xfe", "//4="}};
  for (auto [bytes, text] : rfc4648) {
    std::vector<std::uint8_t> raw(bytes.begin(), bytes.end());
    EXPECT_EQ(base64::encode(raw), text);
    EXPECT_EQ(base64::decode(text), raw) << text;
  }
  for (std::string_view text : {"Zg", "Zg=", "Zh==", "Zm9=", "Zg==Zg==", "Zm9v\n", " Zm9v", "Zm-v",
                                "Zm_v", "=Zm9", "Zm9v====", "Z===", "\xc3\xa9Zm9"})
    EXPECT_EQ(base64::decode(text), std::nullopt) << text;
}

TEST(Text, RepairReplacesEachMaximalSubpart) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"a\xff"
       "b",
       "a\xEF\xBF\xBD"
       "b"},
      {"\xe2\x82"
       "x",
       "\xEF\xBF\xBD"
       "x"},  // a truncated sequence is one replacement
      {"\xed\xa0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate is three
      {"\xc0\xaf", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xf4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"}};
  for (auto [in, out] : cases) {
    EXPECT_EQ(std::string_view(repaired(in)), out);
    EXPECT_EQ(isUtf8(in), in == out);
  }
}

TEST(Text, CutsAtClusters) {
  const std::string flag = "\U0001F1F5\U0001F1F1",
                    family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  EXPECT_EQ(graphemes("e\u0301e\u0301", 1), "e\u0301");
  EXPECT_EQ(graphemes(flag + flag + flag, 2), flag + flag);
  EXPECT_EQ(graphemes(family + "x", 1), family);
  EXPECT_EQ(graphemes("\r\nx", 1), "\r\n");
  EXPECT_EQ(graphemes("\u1100\u1161\u11A8!", 1), "\u1100\u1161\u11A8");
  EXPECT_EQ(graphemes("ab\xff\xcc\x81x", 3), "ab\xff\xcc\x81");  // a bad byte clusters as U+FFFD
  EXPECT_EQ(graphemes("abc", 5), "abc");
}

}  // namespace
}  // namespace tarn
