#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/secure_element.hpp"
#include "support/element.hpp"
#include "support/p256.hpp"
#include "support/process.hpp"
#include "support/swtpm.hpp"

namespace tarn::test {
namespace {

using platform::SecureElementError;

const Passed evaluated{true};

// Everything written to standard error while it lives, tpm2-tss's own log lines included.
class StandardError {
 public:
  StandardError() : saved_(::dup(2)) {
    std::fflush(stderr);
    int file = ::open((dir_ / "stderr").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ::dup2(file, 2);
    ::close(file);
  }
  ~StandardError() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
  }
  std::string text() const {
    std::fflush(stderr);
    return readFile(dir_ / "stderr");
  }

 private:
  TempDir dir_;
  int saved_;
};

TEST(TpmResources, NothingStaysLoadedAndNothingIsSaidWhateverHappened) {
  SwTpm swtpm;
  const auto keyFile = elementOn(swtpm.tcti())->create(userPresence)->dataRepresentation();
  SwTpm other;
  const auto foreign = elementOn(other.tcti())->create(userPresence)->dataRepresentation();

  struct Case {
    const char* name;
    std::function<void()> run;
  };
  const std::vector<Case> cases = {
      {"created key refuses to agree",
       [&] {
         auto key = elementOn(swtpm.tcti())->create(userPresence);
         EXPECT_THROW(key->sharedSecret(p256::agree(key->publicKey()).ephemeral),
                      SecureElementError);
       }},
      {"two keys at once",
       [&] {
         auto element = elementOn(swtpm.tcti());
         auto first = element->restore(keyFile, &evaluated);
         auto second =
             element->restore(element->create(userPresence)->dataRepresentation(), &evaluated);
         first->sharedSecret(p256::agree(second->publicKey()).ephemeral);
         second->sharedSecret(p256::agree(first->publicKey()).ephemeral);
       }},
      {"no TPM behind the name",
       [&] {
         const std::string closed = "swtpm:host=127.0.0.1,port=" + std::to_string(freePortPair());
         for (const std::string& tcti :
              {closed, std::string("nonsense"), std::string("nonsense:host=127.0.0.1"),
               std::string("swtpm:host=127.0.0.1,port=notaport"),
               std::string("device:/nonexistent/tpmrm0")}) {
           auto element = elementOn(tcti);
           EXPECT_FALSE(element->isAvailable()) << tcti;
           EXPECT_THROW(element->create(userPresence), SecureElementError) << tcti;
         }
         EXPECT_TRUE(elementOn(swtpm.tcti())->isAvailable());
       }},
      {"foreign key file", [&] { elementOn(swtpm.tcti())->restore(foreign, &evaluated); }},
      {"point off the curve after a good agreement",
       [&] {
         auto element = elementOn(swtpm.tcti());
         auto key = element->restore(keyFile, &evaluated);
         Point peer = p256::agree(key->publicKey()).ephemeral;
         key->sharedSecret(peer);
         peer[64] ^= 1;
         key->sharedSecret(peer);
       }},
      {"caller's exception while a key is in use",
       [&] {
         auto element = elementOn(swtpm.tcti());
         auto key = element->restore(keyFile, &evaluated);
         key->sharedSecret(p256::agree(key->publicKey()).ephemeral);
         throw std::runtime_error("caller gave up");
       }},
      {"key outlives its element",
       [&] {
         auto key = elementOn(swtpm.tcti())->restore(keyFile, &evaluated);
         key->sharedSecret(p256::agree(key->publicKey()).ephemeral);
       }},
  };
  StandardError standardError;  // tpm2-tss logs its failures there unless told not to
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.run();
    } catch (const std::exception&) {
    }
    EXPECT_EQ(loadedHandles(swtpm.tcti()), LoadedHandles{});
  }
  EXPECT_EQ(standardError.text(), "");
}

TEST(TpmResources, AnEmptyTctiNameMeansTheKernelsResourceManagerNotTheLoadersDefault) {
  if (exists("/dev/tpmrm0")) GTEST_SKIP() << "this machine has a TPM";
  // The loader's default would end at the simulator's port 2321: a TPM answers there.
  std::optional<SwTpm> simulator;
  try {
    simulator.emplace(2321);
  } catch (const std::runtime_error&) {
    GTEST_SKIP() << "port 2321 is taken";
  }
  ASSERT_TRUE(elementOn("swtpm:host=localhost,port=2321")->isAvailable());
  ::setenv("TARN_WEMB_TCTI", "", 1);
  EXPECT_FALSE(platform::tpm()->isAvailable());
  ::unsetenv("TARN_WEMB_TCTI");
  EXPECT_FALSE(platform::tpm()->isAvailable());
}

bool contains(const std::string& haystack, std::span<const std::uint8_t> needle) {
  return haystack.find(std::string(needle.begin(), needle.end())) != std::string::npos;
}

TEST(TpmResources, TheSharedSecretNeverCrossesTheWireInClear) {
  SwTpm swtpm;
  TempDir dir;
  // tpm2-tss's pcap TCTI records every command and response that passes through it.
  ::setenv("TCTI_PCAP_FILE", (dir / "wire.pcap").c_str(), 1);
  const auto keyFile = elementOn(swtpm.tcti())->create(userPresence)->dataRepresentation();
  std::vector<SecretBytes> secrets;
  std::vector<Point> peers;
  {
    auto element = elementOn("pcap:" + swtpm.tcti());
    auto key = element->restore(keyFile, &evaluated);
    for (int i = 0; i < 4; ++i) {
      peers.push_back(p256::agree(key->publicKey()).ephemeral);
      secrets.push_back(key->sharedSecret(peers.back()));
    }
  }
  const std::string wire = readFile(dir / "wire.pcap");
  for (std::size_t i = 0; i < secrets.size(); ++i) {
    EXPECT_TRUE(contains(wire, std::span(peers[i]).subspan(1, 32))) << "the recording works";
    EXPECT_FALSE(contains(wire, secrets[i])) << i;
  }
}

}  // namespace
}  // namespace tarn::test
