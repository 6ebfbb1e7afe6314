#include "envelope/envelope.hpp"

#include <gtest/gtest.h>

#include "base/failure.hpp"
#include "envelope/base64.hpp"
#include "envelope/detail.hpp"
#include "support/hex.hpp"
#include "support/software_key.hpp"

namespace tarn::test {
namespace {

using envelope::CryptoError;

const std::vector<std::string> texts = {
    "a",
    "ab",
    "abc",
    "\xc3\xa9",  // U+00E9
    "Zażółć gęślą jaźń",
    "日本語のテキスト",
    "مرحبا — שלום",
    "👋🏽 👨‍👩‍👧",
    std::string("nul\0inside", 10),
    std::string(1000, 'x'),
    std::string(65536, 'y'),
};

bool compact(const Point& point) {
  std::vector<std::uint8_t> y(point.begin() + 33, point.end());
  const std::vector<std::uint8_t> half =
      fromHex("7fffffff800000008000000000000000000000007fffffffffffffffffffffff");
  return y <= half;
}

TEST(Seal, EveryTextComesBackAndTheStringHasTheFixedShape) {
  SoftwareKey key;
  const envelope::Recipient recipient(key.publicKey());
  std::vector<std::string> all = texts;
  all.resize(all.size() + 64, "x");  // a non-compact ephemeral point shows within a few dozen
  for (const std::string& text : all) {
    SCOPED_TRACE(text.size());
    const std::string sealed = envelope::seal(text, recipient);
    EXPECT_EQ(sealed.substr(0, 2), "AQ");
    const std::vector<std::uint8_t> bytes = envelope::sealedData(sealed);
    ASSERT_EQ(bytes.size(), 94 + text.size());
    EXPECT_EQ(bytes[1], 0x04);
    Point ephemeral{};
    std::copy_n(bytes.begin() + 1, 65, ephemeral.begin());
    EXPECT_TRUE(compact(ephemeral));
    EXPECT_EQ(std::string_view(envelope::open(sealed, key)), text);
  }
}

TEST(Seal, TheSameTextTwiceGivesTwoStringsThatBothOpen) {
  SoftwareKey key;
  const std::string first = envelope::seal("same", key.publicKey());
  const std::string second = envelope::seal("same", key.publicKey());
  EXPECT_NE(first, second);
  EXPECT_EQ(std::string_view(envelope::open(first, key)), "same");
  EXPECT_EQ(std::string_view(envelope::open(second, key)), "same");
}

TEST(Seal, ANonceWithoutCombinedFormIsTheSealFailure) {
  SoftwareKey key;
  const envelope::Recipient recipient(key.publicKey());
  for (std::size_t size : {0, 8, 11, 13, 16}) {
    const std::vector<std::uint8_t> nonce(size);
    try {
      envelope::detail::seal("x", recipient,
                             envelope::detail::ephemeral(recipient.parts().keygen.get()), nonce);
      ADD_FAILURE() << size;
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.message, "seal");
    }
  }
}

TEST(Seal, ARecipientOffTheCurveIsOpenSslsError) {
  Point bad = SoftwareKey().publicKey();
  bad[64] ^= 1;
  try {
    envelope::seal("x", bad);
    ADD_FAILURE();
  } catch (const CryptoError& error) {
    EXPECT_NE(std::string(error.what()).find("point is not on curve"), std::string::npos)
        << error.what();
  }
}

// A key that refuses: its error must reach the caller unchanged.
struct RefusingKey : SoftwareKey {
  struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  SecretBytes sharedSecret(const Point&) override { throw Refusal("tpm says no"); }
};

TEST(Open, ErrorsSayWhatWentWrong) {
  SoftwareKey key;
  const std::vector<std::uint8_t> good = *base64::decode(envelope::seal("hello", key.publicKey()));
  auto openWith = [&](std::vector<std::uint8_t> bytes, platform::KeyAgreement& opener) {
    try {
      envelope::open(base64::encode(bytes), opener);
    } catch (const std::exception& error) {
      return std::string(error.what());
    }
    return std::string("opened");
  };
  std::vector<std::uint8_t> tag = good;
  tag.at(tag.size() - 1) ^= 1;
  EXPECT_EQ(openWith(tag, key), "AES-GCM authentication failed");
  std::vector<std::uint8_t> offCurve = good;
  offCurve[65] ^= 1;
  EXPECT_NE(openWith(offCurve, key).find("point is not on curve"), std::string::npos);
  std::vector<std::uint8_t> compressed = good;
  compressed[1] = 0x02;
  EXPECT_NE(openWith(compressed, key).find("invalid encoding"), std::string::npos);
  RefusingKey refusing;
  EXPECT_THROW(envelope::open(base64::encode(good), refusing), RefusingKey::Refusal);
  EXPECT_EQ(openWith(good, refusing), "tpm says no");
}

TEST(Open, AShortTextStaysInWipedMemory) {
  SoftwareKey key;
  const SecretString text = envelope::open(envelope::seal("pin", key.publicKey()), key);
  EXPECT_EQ(text, "pin");
  // Past the in-object buffer: the bytes sit in storage the cleansing allocator hands back.
  EXPECT_GT(text.capacity(), SecretString().capacity());
}

// The bytes first, first + 1, ..., last.
std::vector<std::uint8_t> run(int first, int last) {
  std::vector<std::uint8_t> bytes;
  for (int b = first; b <= last; ++b) bytes.push_back(static_cast<std::uint8_t>(b));
  return bytes;
}

TEST(Hkdf, Rfc5869Sha256Cases) {
  struct Case {
    std::vector<std::uint8_t> ikm, salt, info;
    std::string okm;
  };
  const std::vector<std::uint8_t> elevens(22, 0x0b);
  const std::vector<Case> cases = {
      {elevens, run(0x00, 0x0c), run(0xf0, 0xf9),
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {run(0x00, 0x4f), run(0x60, 0xaf), run(0xb0, 0xff),
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e"
       "590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {elevens,
       {},
       {},
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> okm(c.okm.size() / 2);
    envelope::detail::hkdf(c.ikm, c.salt, c.info, okm);
    EXPECT_EQ(toHex(okm), c.okm);
  }
}

TEST(Utf8, WellFormedOnly) {
  const std::vector<std::pair<std::string_view, bool>> cases = {
      {"", true},
      {"plain ASCII longer than one word", true},
      {"\x7f", true},
      {"\xc2\x80 \xdf\xbf \xe0\xa0\x80 \xed\x9f\xbf \xee\x80\x80 \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf",
       true},
      {"\x80", false},
      {"\xc0\x80", false},          // overlong NUL
      {"\xc1\xbf", false},          // overlong
      {"\xe0\x9f\xbf", false},      // overlong
      {"\xed\xa0\x80", false},      // surrogate
      {"\xf0\x8f\xbf\xbf", false},  // overlong
      {"\xf4\x90\x80\x80", false},  // past U+10FFFF
      {"\xf5\x80\x80\x80", false},
      {"\xff", false},
      {"\xe2\x82", false},  // cut short
      {"abcdefgh\xe2\x82\xac", true},
      {"abcdefgh\xe2\x28\xac", false},
  };
  for (const auto& [text, valid] : cases) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    EXPECT_EQ(envelope::detail::utf8({bytes, text.size()}), valid)
        << testing::PrintToString(std::string(text));
  }
}

}  // namespace
}  // namespace tarn::test
