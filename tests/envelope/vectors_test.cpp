// The known answers of tests/envelope/vectors.json, made by make_vectors.py without our code.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "base/failure.hpp"
#include "envelope/detail.hpp"
#include "envelope/envelope.hpp"
#include "support/hex.hpp"
#include "support/software_key.hpp"

namespace tarn::test {
namespace {

using nlohmann::json;

const json& vectors() {
  static const json document = [] {
    std::ifstream file(TARN_SOURCE_DIR "/tests/envelope/vectors.json");
    return json::parse(file);
  }();
  return document;
}

std::array<std::uint8_t, 32> scalar(const json& hex) {
  const std::vector<std::uint8_t> bytes = fromHex(hex.get<std::string>());
  std::array<std::uint8_t, 32> fixed{};
  EXPECT_EQ(bytes.size(), fixed.size());
  std::copy_n(bytes.begin(), fixed.size(), fixed.begin());
  return fixed;
}

SoftwareKey key(const std::string& name) {
  SoftwareKey key(scalar(vectors()[name]["private"]));
  EXPECT_EQ(toHex(key.publicKey()), vectors()[name]["public"].get<std::string>());
  return key;
}

TEST(Vectors, TheConstantsAreTheOnesTheVectorsWereMadeWith) {
  EXPECT_EQ(vectors()["version"].get<int>(), envelope::version);
  EXPECT_EQ(vectors()["salt"].get<std::string>(), toHex(envelope::salt));
}

TEST(Vectors, SealingWithTheGivenEphemeralKeyAndNonceGivesTheKnownString) {
  const envelope::Recipient recipient(key("recipient").publicKey());
  for (const json& v : vectors()["seal"]) {
    SCOPED_TRACE(v["name"].get<std::string>());
    const envelope::detail::Ephemeral ephemeral =
        envelope::detail::ephemeral(scalar(v["ephemeral"]));
    EXPECT_EQ(toHex(ephemeral.point), v["ephemeralPoint"].get<std::string>());
    const std::vector<std::uint8_t> nonce = fromHex(v["nonce"].get<std::string>());
    const std::string text = v["text"].get<std::string>();
    EXPECT_EQ(envelope::detail::seal(text, recipient, ephemeral, nonce),
              v["sealed"].get<std::string>());
    const SecretBytes derived = envelope::symmetric(fromHex(v["shared"].get<std::string>()),
                                                    ephemeral.point, recipient.point());
    EXPECT_EQ(toHex(derived), v["key"].get<std::string>());
  }
}

TEST(Vectors, OpeningGivesTheStatedOutcome) {
  for (const json& v : vectors()["open"]) {
    SCOPED_TRACE(v["name"].get<std::string>());
    const std::string sealed = v["sealed"].get<std::string>();
    const std::string outcome = v["outcome"].get<std::string>();
    SoftwareKey opener = key(v["key"].get<std::string>());

    if (v["sealedData"].get<bool>()) {
      EXPECT_NO_THROW(envelope::sealedData(sealed));
    } else {
      EXPECT_THROW(envelope::sealedData(sealed), Failure);
    }

    if (outcome == "text") {
      const SecretString text = envelope::open(sealed, opener);
      EXPECT_EQ(std::string_view(text), v["text"].get<std::string>());
    } else if (outcome == "sealed-format") {
      try {
        envelope::open(sealed, opener);
        ADD_FAILURE() << "opened";
      } catch (const Failure& failure) {
        EXPECT_EQ(failure.message, "sealed-format");
      }
      // A string that fails the structure is refused before any key operation.
      if (!v["sealedData"].get<bool>()) {
        EXPECT_EQ(opener.agreements, 0);
      }
    } else {
      ASSERT_EQ(outcome, "platform-error");
      try {
        envelope::open(sealed, opener);
        ADD_FAILURE() << "opened";
      } catch (const envelope::CryptoError& error) {
        EXPECT_STRNE(error.what(), "");
      }
    }
  }
}

}  // namespace
}  // namespace tarn::test
