#include <gtest/gtest.h>
#include <tss2/tss2_mu.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/secure_element.hpp"
#include "support/element.hpp"
#include "support/p256.hpp"
#include "support/swtpm.hpp"

namespace tarn::test {
namespace {

using platform::EnclaveKey;
using platform::SecureElement;
using platform::SecureElementError;
using Bytes = std::vector<std::uint8_t>;

const Passed evaluated{true};
const platform::AccessControl& access = userPresence;

void expectAgreesWithOpenSsl(EnclaveKey& key) {
  for (int i = 0; i < 3; ++i) {
    p256::Agreement software = p256::agree(key.publicKey());
    SecretBytes secret = key.sharedSecret(software.ephemeral);
    EXPECT_EQ(Bytes(secret.begin(), secret.end()), software.sharedSecret);
  }
}

TEST(Tpm, CreatedKeyIsCompactStoresAsPublicThenPrivateAndRestoresToTheSameKey) {
  SwTpm swtpm;
  for (int round = 0; round < 4; ++round) {
    auto element = elementOn(swtpm.tcti());
    auto created = element->create(access);
    const Point point = created->publicKey();
    EXPECT_EQ(point[0], 0x04);
    EXPECT_TRUE(p256::onCurve(point));
    EXPECT_TRUE(p256::compact(point));

    Bytes file = created->dataRepresentation();
    TPM2B_PUBLIC publicPart{};
    TPM2B_PRIVATE privatePart{};
    std::size_t offset = 0;
    ASSERT_EQ(Tss2_MU_TPM2B_PUBLIC_Unmarshal(file.data(), file.size(), &offset, &publicPart), 0u);
    EXPECT_EQ(offset, 2u + publicPart.size);
    EXPECT_EQ(publicPart.publicArea.objectAttributes, 0x00020472u);
    ASSERT_EQ(Tss2_MU_TPM2B_PRIVATE_Unmarshal(file.data(), file.size(), &offset, &privatePart), 0u);
    EXPECT_EQ(offset, file.size());
    EXPECT_EQ(file.size(), 4u + publicPart.size + privatePart.size);

    // a new key is stored, never used: private-key use needs an evaluated context
    EXPECT_THROW(created->sharedSecret(p256::agree(point).ephemeral), SecureElementError);
    auto restored = element->restore(file, &evaluated);
    EXPECT_EQ(restored->publicKey(), point);
    EXPECT_EQ(restored->dataRepresentation(), file);
    expectAgreesWithOpenSsl(*restored);
  }
}

TEST(Tpm, KeyFileOutlivesARestartOfTheTpm) {
  SwTpm swtpm;
  auto element = elementOn(swtpm.tcti());
  auto key = element->create(access);
  Bytes file = key->dataRepresentation();
  key.reset();
  element.reset();
  swtpm.stop();
  EXPECT_FALSE(elementOn(swtpm.tcti())->isAvailable());
  swtpm.start();
  element = elementOn(swtpm.tcti());
  auto restored = element->restore(file, &evaluated);
  expectAgreesWithOpenSsl(*restored);
}

TEST(Tpm, WithoutAnEvaluatedContextTheKeyGivesItsPublicKeyButNoSharedSecret) {
  SwTpm swtpm;
  auto element = elementOn(swtpm.tcti());
  auto created = element->create(access);
  const Bytes file = created->dataRepresentation();
  const Passed notEvaluated{false};
  for (const platform::AuthContext* context :
       {static_cast<const Passed*>(nullptr), &notEvaluated}) {
    auto restored = element->restore(file, context);
    EXPECT_EQ(restored->publicKey(), created->publicKey());
    EXPECT_THROW(restored->sharedSecret(p256::agree(created->publicKey()).ephemeral),
                 SecureElementError);
  }
}

}  // namespace
}  // namespace tarn::test
