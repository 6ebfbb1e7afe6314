// What the binary cannot show cheaply: the envelope's known answers (envelope/vectors.json, made
// with python3-cryptography), Base64's canonical forms, UTF-8 repair and the cluster cut.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <rapidjson/document.h>

#include <fstream>
#include <sstream>

#include "base/base64.hpp"
#include "base/failure.hpp"
#include "base/text.hpp"
#include "envelope/envelope.hpp"
#include "envelope/openssl.hpp"
#include "platform/pinentry.hpp"

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

// The P-256 key pair with the private scalar the vectors give in hex.
envelope::openssl::Pkey keyPair(const rapidjson::Value& scalar) {
  std::vector<std::uint8_t> d = hex(scalar);
  std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)> group(
      EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1), EC_GROUP_free);
  std::unique_ptr<BIGNUM, decltype(&BN_free)> k(
      BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr), BN_free);
  std::unique_ptr<EC_POINT, decltype(&EC_POINT_free)> q(EC_POINT_new(group.get()), EC_POINT_free);
  EC_POINT_mul(group.get(), q.get(), k.get(), nullptr, nullptr, nullptr);
  Point pub{};
  EC_POINT_point2oct(group.get(), q.get(), POINT_CONVERSION_UNCOMPRESSED, pub.data(), pub.size(),
                     nullptr);
  char curve[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, curve, 0),
      OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_PRIV_KEY, d.data(), d.size()),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size()),
      OSSL_PARAM_construct_end()};
  std::reverse(d.begin(), d.end());  // OSSL_PARAM BNs are native-endian
  EVP_PKEY* key = nullptr;
  envelope::openssl::PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY_fromdata_init(context.get());
  EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_KEYPAIR, params);
  return envelope::openssl::Pkey(key);
}

TEST(Envelope, SealsToTheKnownAnswers) {
  const envelope::Recipient recipient(fixed<65>(vectors()["recipient"]["public"]));
  for (const auto& v : vectors()["seal"].GetArray()) {
    SCOPED_TRACE(v["name"].GetString());
    auto ephemeral = keyPair(v["ephemeral"]);
    EXPECT_EQ(
        envelope::detail::seal(text(v["text"]), recipient, ephemeral.get(), fixed<12>(v["nonce"])),
        v["sealed"].GetString());
  }
}

TEST(Envelope, OpensWithTheStatedOutcome) {
  for (const auto& v : vectors()["open"].GetArray()) {
    SCOPED_TRACE(v["name"].GetString());
    auto own = keyPair(vectors()[v["key"].GetString()]["private"]);
    int agreements = 0;
    auto agree = [&](const Point& peer) {
      ++agreements;
      return envelope::openssl::sharedSecret(own.get(), envelope::openssl::publicKey(peer).get());
    };
    std::string sealed = v["sealed"].GetString(), outcome = v["outcome"].GetString();
    EXPECT_EQ(v["sealedData"].GetBool(), [&] {
      try {
        return !envelope::sealedData(sealed).empty();
      } catch (const Failure& failure) {
        return failure.message != "sealed-format";
      }
    }());
    try {
      SecretString opened =
          envelope::open(sealed, fixed<65>(vectors()[v["key"].GetString()]["public"]), agree);
      EXPECT_EQ(outcome, "text");
      EXPECT_EQ(std::string_view(opened), text(v["text"]));
    } catch (const Failure& failure) {
      EXPECT_EQ(outcome, failure.message);
      EXPECT_TRUE(v["sealedData"].GetBool() || agreements == 0);
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
    EXPECT_EQ(base64Encode(raw), text);
    EXPECT_EQ(base64Decode(text), raw) << text;
  }
  for (std::string_view text : {"Zg", "Zg=", "Zh==", "Zm9=", "Zg==Zg==", "Zm9v\n", " Zm9v", "Zm-v",
                                "Zm_v", "=Zm9", "Zm9v====", "Z===", "\xc3\xa9Zm9"})
    EXPECT_EQ(base64Decode(text), std::nullopt) << text;
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

TEST(Assuan, RepliesByKind) {
  using Kind = platform::AssuanReply::Kind;
  const std::tuple<std::string_view, Kind, unsigned, std::string_view> cases[] = {
      {"OK", Kind::ok, 0, ""},
      {"OK Pleased to meet you", Kind::ok, 0, ""},
      {"ERR 83886179 Operation cancelled <Pinentry>", Kind::error, 83886179,
       "Operation cancelled <Pinentry>"},
      {"D a%25b", Kind::data, 0, "a%25b"},
      {"S PROGRESS", Kind::status, 0, ""},
      {"# note", Kind::comment, 0, ""},
      {"INQUIRE QUALITY", Kind::inquire, 0, ""},
      {"OKAY", Kind::unknown, 0, ""},
      {"D", Kind::unknown, 0, ""}};
  for (auto [line, kind, code, text] : cases) {
    auto reply = platform::parseAssuanReply(line);
    EXPECT_EQ(reply.kind, kind) << line;
    EXPECT_EQ(reply.code, code) << line;
    EXPECT_TRUE(text.empty() || reply.text == text) << line;
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
