// The custody service's TPM side against the swtpm run.py starts, where the black-box rows cannot
// reach.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/failure.hpp"
#include "envelope/openssl.hpp"
#include "service/deadline.hpp"
#include "service/key.hpp"
#include "service/service_secret.hpp"

namespace tarn::service {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string refusal(const std::function<void()>& run) {
  try {
    run();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// Each test has a state directory of its own with a new secret in it.
class ServiceTpm : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::getenv("TARN_WEMB_TCTI")) << "run me through blackbox/run.py --with-swtpm";
    char name[] = "/tmp/tarn-service-tpm-XXXXXX";
    state = ::mkdtemp(name);
    ::setenv("STATE_DIRECTORY", state.c_str(), 1);
    makeSecret();
  }
  void TearDown() override { fs::remove_all(state); }
  fs::path state;
};

// A salt the TPM would trim: the key must still load and agree as OpenSSL does.
TEST_F(ServiceTpm, AnAuthValueEndingInZeroStillWorks) {
  const ServiceSecret secret = ServiceSecret::read();
  std::array<std::uint8_t, 32> salt{};
  for (std::uint32_t n = 0; n < 100000 && secret.authValue(1000, salt).size() == 32; ++n) {
    std::memcpy(salt.data(), &n, sizeof n);
  }
  ASSERT_LT(secret.authValue(1000, salt).size(), 32u);
  Tpm tpm;
  const MadeKey made = makeKey(tpm, secret, 1000, salt);
  UsableKey key = loadKey(tpm, made.file, secret, 1000);
  EXPECT_EQ(key.point(), made.point);
  envelope::openssl::Pkey peer(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  EXPECT_EQ(
      key.agree(envelope::openssl::point(peer.get())),
      envelope::openssl::sharedSecret(peer.get(), envelope::openssl::publicKey(made.point).get()));
}

TEST_F(ServiceTpm, TheSecretIsMadeOnceAndMustBeWhole) {
  const Bytes first = readFile(state / "secret");
  EXPECT_EQ(first.size(), secretSize);
  EXPECT_EQ(fs::status(state / "secret").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  makeSecret();
  EXPECT_EQ(readFile(state / "secret"), first);
  EXPECT_EQ(std::distance(fs::directory_iterator(state), {}), 1);
  const std::string none = "the custody service has no secret: restore /var/lib/tarn-wemb";
  const struct {
    std::size_t size;
    std::string error;
  } cases[] = {{32, ""}, {31, none}, {33, none}, {0, none}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    std::ofstream(state / "secret", std::ios::binary) << std::string(c.size, '\7');
    EXPECT_EQ(refusal([] { ServiceSecret::read(); }), c.error);
  }
}

// Each case runs in a child of this process, whose watcher already runs: the child needs its own.
TEST(Deadline, EndsTheProcessWithItsWordOnlyWhenItRunsOut) {
  static constexpr std::string_view why = "the TPM did not answer within 30 seconds";
  const struct {
    int earlier;        // seconds of a deadline met before this one, 0 for none
    int limit, inner;   // seconds; inner: a deadline begun inside it after 0.2 s, 0 for none
    int inside, after;  // milliseconds asleep under the deadlines, and after they have gone
    bool ends;          // with its word and status 1
  } cases[] = {
      {0, 1, 0, 0, 2500, false}, {0, 1, 0, 2500, 0, true},  {0, 1, 30, 2500, 0, true},
      {0, 30, 1, 2500, 0, true}, {30, 1, 0, 2500, 0, true},
  };
  { const Deadline warm(std::chrono::seconds(30), why); }
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.earlier << "/" << c.limit << "/" << c.inner << "/"
                                      << c.inside << "/" << c.after);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(ends[0]);
      setLastWordTo(ends[1]);
      if (c.earlier != 0) {
        const Deadline met(std::chrono::seconds(c.earlier), why);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
      {
        const Deadline deadline(std::chrono::seconds(c.limit), why);
        std::optional<Deadline> inner;
        if (c.inner != 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          inner.emplace(std::chrono::seconds(c.inner), why);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(c.inside));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(c.after));
      ::_exit(0);
    }
    ::close(ends[1]);
    std::string said;
    char buffer[256];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) said.append(buffer, n);
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(said, c.ends ? "{\"error\":\"" + std::string(why) + "\"}" + '\0' : "");
    EXPECT_EQ(status, c.ends ? 1 << 8 : 0);  // exited, with 1 or 0
  }
}

}  // namespace
}  // namespace tarn::service
