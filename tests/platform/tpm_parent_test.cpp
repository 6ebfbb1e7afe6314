#include <gtest/gtest.h>

#include <cstring>

#include "platform/secure_element.hpp"
#include "platform/tpm_esys.hpp"
#include "platform/tpm_templates.hpp"
#include "support/element.hpp"
#include "support/p256.hpp"
#include "support/swtpm.hpp"

// A storage root key kept at 0x81000001, as systemd keeps one, stands in for the derived parent
// only when its public area is the template's.
namespace tarn::test {
namespace {

namespace tss = platform::tss;
namespace tpm_template = platform::tpm_template;

const Passed evaluated{true};

// A persistent primary from the parent template with other attributes or another unique seed.
void persist(const std::string& tcti, TPMA_OBJECT attributes, const char* unique) {
  tss::Connection tpm(tcti);
  TPM2B_PUBLIC area = tpm_template::parent();
  area.publicArea.objectAttributes = attributes;
  area.publicArea.unique.ecc.x.size = static_cast<UINT16>(std::strlen(unique));
  std::memcpy(area.publicArea.unique.ecc.x.buffer, unique, std::strlen(unique));
  const TPM2B_SENSITIVE_CREATE sensitive{};
  const TPM2B_DATA outsideInfo{};
  const TPML_PCR_SELECTION pcrs{};
  ESYS_TR primary = ESYS_TR_NONE, persistent = ESYS_TR_NONE;
  tss::check(Esys_CreatePrimary(tpm.get(), ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                ESYS_TR_NONE, &sensitive, &area, &outsideInfo, &pcrs, &primary,
                                nullptr, nullptr, nullptr, nullptr));
  tss::Handle loaded = tss::Handle::transient(tpm.get(), primary);
  tss::check(Esys_EvictControl(tpm.get(), ESYS_TR_RH_OWNER, primary, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                               ESYS_TR_NONE, tpm_template::persistentParent, &persistent));
  Esys_TR_Close(tpm.get(), &persistent);
}

void evict(const std::string& tcti) {
  tss::Connection tpm(tcti);
  ESYS_TR persistent = ESYS_TR_NONE, gone = ESYS_TR_NONE;
  tss::check(Esys_TR_FromTPMPublic(tpm.get(), tpm_template::persistentParent, ESYS_TR_NONE,
                                   ESYS_TR_NONE, ESYS_TR_NONE, &persistent));
  tss::check(Esys_EvictControl(tpm.get(), ESYS_TR_RH_OWNER, persistent, ESYS_TR_PASSWORD,
                               ESYS_TR_NONE, ESYS_TR_NONE, tpm_template::persistentParent, &gone));
}

bool restores(const std::string& tcti, const std::vector<std::uint8_t>& keyFile) {
  try {
    auto key = elementOn(tcti)->restore(keyFile, &evaluated);
    key->sharedSecret(p256::agree(key->publicKey()).ephemeral);
    return true;
  } catch (const platform::SecureElementError&) {
    return false;
  }
}

TEST(TpmParent, APersistentStorageRootKeyIsUsedOnlyWhenItsPublicAreaIsTheTemplates) {
  struct Case {
    const char* name;
    TPMA_OBJECT attributes;
    bool used;
  };
  const std::vector<Case> cases = {
      {"the template's attributes", tpm_template::parentAttributes, true},
      {"tpm2-tools' default attributes, without noDA",
       tpm_template::parentAttributes & ~TPMA_OBJECT_NODA, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SwTpm swtpm;
    // Another unique seed gives another key: which parent wrapped the key file shows.
    persist(swtpm.tcti(), c.attributes, "another seed");
    const auto keyFile = elementOn(swtpm.tcti())->create(userPresence)->dataRepresentation();
    EXPECT_TRUE(restores(swtpm.tcti(), keyFile));
    evict(swtpm.tcti());
    EXPECT_EQ(restores(swtpm.tcti(), keyFile), !c.used);
    EXPECT_EQ(loadedHandles(swtpm.tcti()), LoadedHandles{});
  }
}

TEST(TpmParent, AKeyFileMadeUnderTheDerivedParentLoadsUnderTheSameKeyMadePersistent) {
  SwTpm swtpm;
  const auto keyFile = elementOn(swtpm.tcti())->create(userPresence)->dataRepresentation();
  persist(swtpm.tcti(), tpm_template::parentAttributes, "");
  EXPECT_TRUE(restores(swtpm.tcti(), keyFile));
}

}  // namespace
}  // namespace tarn::test
