// The custody service's TPM side against a private swtpm: key files made, loaded, refused.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/failure.hpp"
#include "envelope/openssl.hpp"
#include "service/deadline.hpp"
#include "service/key.hpp"
#include "service/key_format.hpp"
#include "service/secret.hpp"
#include "service/tpm.hpp"

namespace tarn::service {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::string tcti;  // swtpm:host=127.0.0.1,port=P
int tpmPort = 0;
fs::path work;  // holds the swtpm's state and each test's state directory
pid_t swtpm = -1;

bool answers(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(port));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool up = ::connect(s, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
  ::close(s);
  return up;
}

int freePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  ::bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&at), &size);
  ::close(s);
  return ntohs(at.sin_port);
}

struct Swtpm : ::testing::Environment {
  void SetUp() override {
    char name[] = "/tmp/tarn-service-tpm-XXXXXX";
    work = ::mkdtemp(name);
    fs::create_directory(work / "tpm");
    for (int attempt = 0; attempt < 20 && tcti.empty(); ++attempt) {
      const std::string port = std::to_string(freePort());
      const std::string control = std::to_string(std::stoi(port) + 1);
      const std::string server = "type=tcp,port=" + port + ",bindaddr=127.0.0.1";
      const std::string ctrl = "type=tcp,port=" + control + ",bindaddr=127.0.0.1";
      const std::string state = "dir=" + (work / "tpm").string();
      const char* argv[] = {"swtpm",      "socket",       "--tpm2",
                            "--server",   server.c_str(), "--ctrl",
                            ctrl.c_str(), "--flags",      "startup-clear,not-need-init",
                            "--tpmstate", state.c_str(),  nullptr};
      posix_spawn_file_actions_t quiet;
      posix_spawn_file_actions_init(&quiet);
      posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
      ASSERT_EQ(::posix_spawnp(&swtpm, "swtpm", &quiet, nullptr, const_cast<char**>(argv), environ),
                0);
      posix_spawn_file_actions_destroy(&quiet);
      for (int wait = 0; wait < 100 && tcti.empty(); ++wait) {
        if (answers(std::stoi(port))) tcti = "swtpm:host=127.0.0.1,port=" + port;
        tpmPort = std::stoi(port);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (tcti.empty()) {
        ::kill(swtpm, SIGKILL);
        ::waitpid(swtpm, nullptr, 0);
      }
    }
    ASSERT_FALSE(tcti.empty()) << "swtpm did not start";
    ::setenv("TARN_WEMB_TCTI", tcti.c_str(), 1);
  }
  void TearDown() override {
    if (swtpm > 0) {
      ::kill(swtpm, SIGTERM);
      ::waitpid(swtpm, nullptr, 0);
    }
    fs::remove_all(work);
  }
};

// The output of a shell command and whether it succeeded.
std::pair<std::string, bool> shell(const std::string& command) {
  FILE* pipe = ::popen(("{ " + command + "; } 2>&1").c_str(), "r");
  std::string out;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  return {out, ::pclose(pipe) == 0};
}

std::string tools(const std::string& command) { return command + " -T " + tcti; }

// A tpm2-tools command, after which whatever it left in the TPM is flushed.
std::pair<std::string, bool> tool(const std::string& command) {
  return shell(tools(command) + "; s=$?; for k in -t -s -l; do " + tools("tpm2_flushcontext $k") +
               "; done; exit $s");
}

// What any process left in the TPM: the handles of transient objects and of loaded sessions.
std::string leftInTpm() {
  return shell(tools("tpm2_getcap handles-transient")).first +
         shell(tools("tpm2_getcap handles-loaded-session")).first;
}

void writeFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

int listenOn(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(port));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && ::listen(s, 4) == 0) return s;
  ::close(s);
  return -1;
}

// Forwards the connections made to `listener` to the swtpm's port `to`, keeping every byte.
class Relay {
 public:
  Relay(int listener, int to) : listener_(listener), worker_([this, to] { serve(to); }) {}
  ~Relay() { stop(); }

  // Everything that went either way, once the relay has stopped.
  const Bytes& stop() {
    if (worker_.joinable()) {
      ::shutdown(listener_, SHUT_RDWR);
      worker_.join();
      ::close(listener_);
    }
    return seen_;
  }

 private:
  void serve(int to) {
    for (int client; (client = ::accept(listener_, nullptr, nullptr)) >= 0;) {
      const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in at{};
      at.sin_family = AF_INET;
      at.sin_port = htons(static_cast<std::uint16_t>(to));
      at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ::connect(server, reinterpret_cast<sockaddr*>(&at), sizeof at);
      pollfd ends[] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      std::uint8_t buffer[8192];
      for (bool open = true; open && ::poll(ends, 2, -1) > 0;) {
        for (int i = 0; i < 2 && open; ++i) {
          if (ends[i].revents == 0) continue;
          const ssize_t n = ::read(ends[i].fd, buffer, sizeof buffer);
          open = n > 0 &&
                 ::send(ends[1 - i].fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) == n;
          if (n > 0) seen_.insert(seen_.end(), buffer, buffer + n);
        }
      }
      ::close(client);
      ::close(server);
    }
  }

  int listener_;
  Bytes seen_;
  std::thread worker_;
};

bool holds(const Bytes& haystack, std::span<const std::uint8_t> needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

std::string refusal(const std::function<void()>& run) {
  try {
    run();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// Each test has a state directory of its own with a new secret in it, and leaves the TPM empty.
class ServiceTpm : public ::testing::Test {
 protected:
  void SetUp() override {
    state = work / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ::setenv("STATE_DIRECTORY", state.c_str(), 1);
    makeSecret();
  }
  void TearDown() override { EXPECT_EQ(leftInTpm(), ""); }

  // The X of an ECDH product computed by OpenSSL alone, and the peer's point.
  static std::pair<SecretBytes, Point> openssl(const Point& key) {
    envelope::openssl::Pkey peer(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    return {envelope::openssl::sharedSecret(peer.get(), envelope::openssl::publicKey(key).get()),
            envelope::openssl::point(peer.get())};
  }

  fs::path state;
};

TEST_F(ServiceTpm, MadeKeysLoadAndAgreeAsOpenSslDoes) {
  const ServiceSecret secret = ServiceSecret::read();
  for (const uid_t uid : {0u, 1000u, 4294967294u}) {
    SCOPED_TRACE(uid);
    Tpm tpm;
    const MadeKey made = makeKey(tpm, secret, uid);
    ASSERT_GT(made.file.size(), keyFileHeaderSize);
    EXPECT_TRUE(std::equal(keyFileMark.begin(), keyFileMark.end(), made.file.begin()));
    const auto id = secret.id();
    EXPECT_TRUE(std::equal(id.begin(), id.end(), made.file.begin() + 4));
    EXPECT_EQ(made.point[0], 0x04);
    EXPECT_TRUE(compactY(std::span<const std::uint8_t, 32>(made.point.data() + 33, 32)));
    UsableKey key = loadKey(tpm, made.file, secret, uid);
    EXPECT_EQ(key.point(), made.point);
    for (int peer = 0; peer < 2; ++peer) {
      const auto [expected, point] = openssl(made.point);
      EXPECT_EQ(key.agree(point), expected);
    }
  }
}

TEST_F(ServiceTpm, KeyFilesThatCannotServeAreRefusedWithTheirReason) {
  Tpm tpm;
  const ServiceSecret secret = ServiceSecret::read();
  const Bytes file = makeKey(tpm, secret, 1000).file;
  const std::size_t publicEnd = keyFileHeaderSize + 2 + (file[44] << 8 | file[45]);
  const struct {
    const char* name;
    std::function<void(Bytes&, uid_t&)> change;
    std::string error;
  } cases[] = {
      {"its own", [](Bytes&, uid_t&) {}, ""},
      {"another account", [](Bytes&, uid_t& uid) { uid = 1001; },
       "the key file belongs to another account"},
      {"the old form", [](Bytes& f, uid_t&) { f.erase(f.begin(), f.begin() + keyFileHeaderSize); },
       "the key file is of an old form: move it away and seal again"},
      {"a header cut short", [](Bytes& f, uid_t&) { f.resize(keyFileHeaderSize - 1); },
       "the key file is of an old form: move it away and seal again"},
      {"another mark", [](Bytes& f, uid_t&) { f[3] = 0x32; },
       "the key file is of a form this service does not know"},
      {"another secret id", [](Bytes& f, uid_t&) { f[4] ^= 1; },
       "the service secret changed: restore /var/lib/tarn-wemb"},
      {"another template", [](Bytes& f, uid_t&) { f[keyFileHeaderSize + 9] ^= 0x40; },
       "the stored key is not of this tool's key template"},
      {"a private part not this TPM's", [&](Bytes& f, uid_t&) { f[publicEnd + 6] ^= 1; },
       "the key was made by another TPM, or this TPM was cleared"},
      {"a byte after it", [](Bytes& f, uid_t&) { f.push_back(0); },
       "the key data has 1 bytes after its private part"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes changed = file;
    uid_t uid = 1000;
    c.change(changed, uid);
    EXPECT_EQ(refusal([&] { loadKey(tpm, changed, secret, uid); }), c.error);
  }
}

TEST_F(ServiceTpm, AKeyOfAnotherSecretIsRefused) {
  Tpm tpm;
  const Bytes file = makeKey(tpm, ServiceSecret::read(), 1000).file;
  fs::remove(state / "secret");
  makeSecret();
  EXPECT_EQ(refusal([&] { loadKey(tpm, file, ServiceSecret::read(), 1000); }),
            "the service secret changed: restore /var/lib/tarn-wemb");
}

TEST_F(ServiceTpm, AClearedTpmCannotLoadItsOldKeys) {
  const Bytes file = [] {
    Tpm tpm;
    return makeKey(tpm, ServiceSecret::read(), 1000).file;
  }();
  ASSERT_TRUE(shell(tools("tpm2_clear")).second);
  Tpm tpm;
  EXPECT_EQ(refusal([&] { loadKey(tpm, file, ServiceSecret::read(), 1000); }),
            "the key was made by another TPM, or this TPM was cleared");
}

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
  const auto [expected, point] = openssl(made.point);
  EXPECT_EQ(key.agree(point), expected);
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
    writeFile(state / "secret", Bytes(c.size, 7));
    EXPECT_EQ(refusal([] { ServiceSecret::read(); }), c.error);
  }
  fs::remove(state / "secret");
  EXPECT_EQ(refusal([] { ServiceSecret::read(); }), none);
}

TEST_F(ServiceTpm, TpmToolsCannotUseAKeyWithoutItsAuthValue) {
  const ServiceSecret secret = ServiceSecret::read();
  Tpm tpm;
  const MadeKey made = makeKey(tpm, secret, 1000);
  const std::size_t publicEnd = keyFileHeaderSize + 2 + (made.file[44] << 8 | made.file[45]);
  const fs::path d = state;
  writeFile(d / "pub", Bytes(made.file.begin() + keyFileHeaderSize, made.file.begin() + publicEnd));
  writeFile(d / "priv", Bytes(made.file.begin() + publicEnd, made.file.end()));
  // the key's own point as the peer: its product is then any point, the test is the refusal
  Bytes peer = {0, 68, 0, 32};
  peer.insert(peer.end(), made.point.begin() + 1, made.point.begin() + 33);
  peer.insert(peer.end(), {0, 32});
  peer.insert(peer.end(), made.point.begin() + 33, made.point.end());
  writeFile(d / "peer", peer);
  std::string auth;
  std::array<std::uint8_t, 32> salt{};
  std::copy_n(made.file.begin() + 12, salt.size(), salt.begin());
  for (const auto byte : secret.authValue(1000, salt)) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", byte);
    auth += hex;
  }
  const std::string parent = (d / "p").string(), loaded = (d / "k").string();
  ASSERT_TRUE(
      tool("tpm2_createprimary -C o -g sha256 -G ecc256:aes128cfb -c " + parent +
           " -a 'fixedtpm|fixedparent|sensitivedataorigin|userwithauth|noda|restricted|decrypt'")
          .second);
  ASSERT_TRUE(tool("tpm2_load -C " + parent + " -u " + (d / "pub").string() + " -r " +
                   (d / "priv").string() + " -c " + loaded)
                  .second);
  const std::string zgen =
      "tpm2_ecdhzgen -c " + loaded + " -u " + (d / "peer").string() + " -o " + (d / "z").string();
  const struct {
    const char* name;
    std::string password;
    bool works;
  } cases[] = {{"no auth value", "", false},
               {"another account's", " -p hex:" + std::string(auth.rbegin(), auth.rend()), false},
               {"its own", " -p hex:" + auth, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto [out, worked] = tool(zgen + c.password);
    EXPECT_EQ(worked, c.works) << out;
  }
}

TEST_F(ServiceTpm, NeitherAuthValueNorSharedSecretCrossesTheBusInClear) {
  int commands = -1, control = -1, port = 0;
  for (int attempt = 0; attempt < 20 && control < 0; ++attempt) {
    if (commands >= 0) ::close(commands);
    port = freePort();
    commands = listenOn(port);
    control = listenOn(port + 1);
  }
  ASSERT_GE(control, 0);
  Relay relay(commands, tpmPort), controlRelay(control, tpmPort + 1);
  ::setenv("TARN_WEMB_TCTI", ("swtpm:host=127.0.0.1,port=" + std::to_string(port)).c_str(), 1);
  const ServiceSecret secret = ServiceSecret::read();
  MadeKey made;
  SecretBytes shared;
  {
    Tpm tpm;
    made = makeKey(tpm, secret, 1000);
    shared = loadKey(tpm, made.file, secret, 1000).agree(openssl(made.point).second);
  }
  ::setenv("TARN_WEMB_TCTI", tcti.c_str(), 1);
  const Bytes& seen = relay.stop();
  std::array<std::uint8_t, 32> salt{};
  std::copy_n(made.file.begin() + 12, salt.size(), salt.begin());
  EXPECT_TRUE(holds(seen, std::span(made.point).subspan(1, 32)));  // the relay saw the key
  EXPECT_FALSE(holds(seen, secret.authValue(1000, salt)));
  EXPECT_FALSE(holds(seen, shared));
}

TEST(Deadline, EndsTheProcessWithItsWordOnlyWhenItRunsOut) {
  const struct {
    int limit, sleep;
    std::string why, said;
    int status;
  } cases[] = {
      {1, 0, "late", "", 0},
      {1, 2500, "the TPM did not answer within 30 seconds",
       "{\"error\":\"the TPM did not answer within 30 seconds\"}" + std::string(1, '\0'), 1},
      {1, 2500, "a \"quoted\" \\ why",
       "{\"error\":\"a \\\"quoted\\\" \\\\ why\"}" + std::string(1, '\0'), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(ends[0]);
      setLastWordTo(ends[1]);
      {
        const Deadline deadline(std::chrono::seconds(c.limit), c.why);
        std::this_thread::sleep_for(std::chrono::milliseconds(c.sleep));
      }
      ::_exit(0);
    }
    ::close(ends[1]);
    std::string said;
    char buffer[256];
    while (const ssize_t n = ::read(ends[0], buffer, sizeof buffer)) {
      if (n < 0) break;
      said.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(said, c.said);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status);
  }
}

}  // namespace
}  // namespace tarn::service

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new tarn::service::Swtpm);
  return RUN_ALL_TESTS();
}
