// The custody service's TPM side against the swtpm run.py starts, where the black-box rows cannot
// reach.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/wait.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_tctildr.h>
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
#include "service/key_format.hpp"
#include "service/service_secret.hpp"
#include "service/tpm_session_crypto.hpp"
#include "service/tpm_templates.hpp"

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

// Faults in the file's own bytes no caller meets by accident.
TEST_F(ServiceTpm, KeyFilesThatCannotServeAreRefusedWithTheirReason) {
  Tpm tpm;
  const ServiceSecret secret = ServiceSecret::read();
  const Bytes file = makeKey(tpm, secret, 1000).file;
  const std::size_t publicEnd = keyFileHeaderSize + 2 + (file[44] << 8 | file[45]);
  const struct {
    const char* name;
    std::function<void(Bytes&)> change;
    std::string error;
  } cases[] = {
      {"its own", [](Bytes&) {}, ""},
      {"a header cut short", [](Bytes& f) { f.resize(keyFileHeaderSize - 1); },
       "the key file is of an old form: move it away and seal again"},
      {"another mark", [](Bytes& f) { f[3] = 0x32; },
       "the key file is of a form this service does not know"},
      {"a private part not this TPM's", [&](Bytes& f) { f[publicEnd + 6] ^= 1; },
       "the key was made by another TPM, or this TPM was cleared"},
      {"a byte after it", [](Bytes& f) { f.push_back(0); },
       "the key data has 1 bytes after its private part"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes changed = file;
    c.change(changed);
    EXPECT_EQ(refusal([&] { loadKey(tpm, changed, secret, 1000); }), c.error);
  }
}

// The salt is KDFe of an ECDH with the parent (played here by a key of our own): for 256 bits,
// SHA-256 of the counter 1, Z, "SECRET" and its NUL, and both points' X.
TEST(SessionCrypto, TheSaltIsKdfeOfAnEcdhWithTheParent) {
  envelope::openssl::Pkey parent(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  const Point mine = envelope::openssl::point(parent.get());
  TPMS_ECC_POINT point{{32, {}}, {32, {}}}, ephemeral{};
  std::memcpy(point.x.buffer, mine.data() + 1, 32);
  std::memcpy(point.y.buffer, mine.data() + 33, 32);
  const Salt salt = saltFor(point);
  std::size_t at = 0;
  ASSERT_EQ(
      Tss2_MU_TPMS_ECC_POINT_Unmarshal(salt.encrypted.secret, salt.encrypted.size, &at, &ephemeral),
      0u);
  EXPECT_EQ(at, salt.encrypted.size);
  const SecretBytes z = envelope::openssl::sharedSecret(
      parent.get(), envelope::openssl::publicKey(pointOf(ephemeral)).get());
  Bytes input = {0, 0, 0, 1};
  input.insert(input.end(), z.begin(), z.end());
  input.insert(input.end(), {'S', 'E', 'C', 'R', 'E', 'T', 0});
  input.insert(input.end(), ephemeral.x.buffer, ephemeral.x.buffer + 32);
  input.insert(input.end(), point.x.buffer, point.x.buffer + 32);
  SecretBytes expected(32);
  SHA256(input.data(), input.size(), expected.data());
  EXPECT_EQ(salt.value, expected);
}

// A TCTI that keeps every command and response that passes through it to the TPM.
struct Recorder {
  TSS2_TCTI_CONTEXT_COMMON_V2 common{};
  TSS2_TCTI_CONTEXT* inner = nullptr;
  std::vector<std::pair<Bytes, Bytes>> exchanges;

  static Recorder& of(TSS2_TCTI_CONTEXT* context) { return *reinterpret_cast<Recorder*>(context); }
  Recorder() {
    EXPECT_EQ(Tss2_TctiLdr_Initialize(std::getenv("TARN_WEMB_TCTI"), &inner), 0u);
    common.v1.version = 2;
    common.v1.transmit = [](TSS2_TCTI_CONTEXT* c, std::size_t size, const std::uint8_t* command) {
      of(c).exchanges.emplace_back(Bytes(command, command + size), Bytes());
      return Tss2_Tcti_Transmit(of(c).inner, size, command);
    };
    common.v1.receive = [](TSS2_TCTI_CONTEXT* c, std::size_t* size, std::uint8_t* response,
                           std::int32_t timeout) {
      const TSS2_RC rc = Tss2_Tcti_Receive(of(c).inner, size, response, timeout);
      if (response != nullptr) of(c).exchanges.back().second.assign(response, response + *size);
      return rc;
    };
  }
  ~Recorder() { Tss2_TctiLdr_Finalize(&inner); }
};

// The size-prefixed field at `at` of a command or response; `at` moves past it.
Bytes field(const Bytes& bytes, std::size_t& at) {
  const auto start = bytes.begin() + static_cast<std::ptrdiff_t>(at) + 2;
  at += 2 + (bytes.at(at) << 8 | bytes.at(at + 1));
  return Bytes(start, bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

// The bytes of `bytes` from `at` to `end`, or to its end.
Bytes from(std::size_t at, const Bytes& bytes, std::size_t end = SIZE_MAX) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
               bytes.begin() + static_cast<std::ptrdiff_t>(std::min(end, bytes.size())));
}

Bytes bytes(const Digest& digest) { return Bytes(digest.begin(), digest.end()); }

// ESYS runs an ECDH_ZGen in a session bound to an object of known auth value, encrypting the
// response: the session layer must find the same session key, both HMACs and the plaintext.
TEST_F(ServiceTpm, SessionMathIsEsyssToo) {
  Recorder recorder;
  ESYS_CONTEXT* esys = nullptr;
  ASSERT_EQ(Esys_Initialize(&esys, reinterpret_cast<TSS2_TCTI_CONTEXT*>(&recorder), nullptr), 0u);
  const TPM2B_PUBLIC templates[] = {parentTemplate(), keyTemplate()};
  const Bytes auths[] = {{'b', 'i', 'n', 'd'}, {'k', 'e', 'y'}};
  ESYS_TR handles[2], session = ESYS_TR_NONE;
  TPM2B_PUBLIC* made = nullptr;
  for (int i = 0; i < 2; ++i) {
    TPM2B_SENSITIVE_CREATE sensitive{};
    sensitive.sensitive.userAuth.size = static_cast<UINT16>(auths[i].size());
    std::memcpy(sensitive.sensitive.userAuth.buffer, auths[i].data(), auths[i].size());
    const TPM2B_DATA outside{};
    const TPML_PCR_SELECTION pcrs{};
    ASSERT_EQ(Esys_CreatePrimary(esys, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                 ESYS_TR_NONE, &sensitive, &templates[i], &outside, &pcrs,
                                 &handles[i], i == 1 ? &made : nullptr, nullptr, nullptr, nullptr),
              0u);
    Esys_TR_SetAuth(esys, handles[i], &sensitive.sensitive.userAuth);
  }
  const TPMT_SYM_DEF aes{TPM2_ALG_AES, {.aes = 128}, {.aes = TPM2_ALG_CFB}};
  ASSERT_EQ(
      Esys_StartAuthSession(esys, ESYS_TR_NONE, handles[0], ESYS_TR_NONE, ESYS_TR_NONE,
                            ESYS_TR_NONE, nullptr, TPM2_SE_HMAC, &aes, TPM2_ALG_SHA256, &session),
      0u);
  const TPMA_SESSION attributes = TPMA_SESSION_CONTINUESESSION | TPMA_SESSION_ENCRYPT;
  Esys_TRSess_SetAttributes(esys, session, attributes, 0xff);
  TPM2B_ECC_POINT in{};
  in.point = made->publicArea.unique.ecc;  // the key's product with itself: any point will do
  TPM2B_ECC_POINT* product = nullptr;
  TPM2B_NAME* name = nullptr;
  ASSERT_EQ(Esys_ECDH_ZGen(esys, handles[1], session, ESYS_TR_NONE, ESYS_TR_NONE, &in, &product),
            0u);
  Esys_TR_GetName(esys, handles[1], &name);
  const Point expected = pointOf(product->point);
  const Bytes keyName(name->name, name->name + name->size);
  for (ESYS_TR handle : {session, handles[0], handles[1]}) Esys_FlushContext(esys, handle);
  for (void* out :
       {static_cast<void*>(made), static_cast<void*>(product), static_cast<void*>(name)})
    Esys_Free(out);
  Esys_Finalize(&esys);

  // after the two CreatePrimary: StartAuthSession and ECDH_ZGen; the fields past header and handles
  const auto& [start, started] = recorder.exchanges.at(2);
  std::size_t at = 18, back = 14;
  const Bytes startNonce = field(start, at), firstNonce = field(started, back);
  SecretBytes value = kdfa(auths[0], "ATH", firstNonce, startNonce, 256);
  value.insert(value.end(), auths[1].begin(), auths[1].end());

  const auto& [command, response] = recorder.exchanges.at(3);
  at = 22;
  const Bytes nonce = field(command, at);
  EXPECT_EQ(command.at(at++), attributes);
  const Bytes hmac = field(command, at);
  const Digest cpHash = commandHash(TPM2_CC_ECDH_ZGen, keyName, from(at, command));
  EXPECT_EQ(bytes(sessionHmac(value, cpHash, nonce, firstNonce, attributes)), hmac);

  at = 14 + (response.at(12) << 8 | response.at(13));
  Bytes parameters = from(14, response, at);
  const Bytes newNonce = field(response, at);
  const TPMA_SESSION answered = response.at(at++);
  const Digest rpHash = responseHash(TPM2_CC_ECDH_ZGen, parameters);
  EXPECT_EQ(bytes(sessionHmac(value, rpHash, newNonce, nonce, answered)), field(response, at));
  decryptParameter(value, newNonce, nonce, std::span(parameters).subspan(2));
  TPM2B_ECC_POINT plain{};
  at = 0;
  ASSERT_EQ(Tss2_MU_TPM2B_ECC_POINT_Unmarshal(parameters.data(), parameters.size(), &at, &plain),
            0u);
  EXPECT_EQ(pointOf(plain.point), expected);
  EXPECT_NE(from(18, response, 50), from(4, parameters, 36));  // it crossed encrypted
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
  constexpr std::string_view tpm = "the TPM did not answer within 30 seconds";
  const std::string tpmSaid = "{\"error\":\"" + std::string(tpm) + "\"}" + std::string(1, '\0');
  const struct {
    int earlier;        // seconds of a deadline met before this one, 0 for none
    int limit, inner;   // seconds; inner: a deadline begun inside it after 0.2 s, 0 for none
    int inside, after;  // milliseconds asleep under the deadlines, and after they have gone
    std::string why, said;
    int status;
  } cases[] = {
      {0, 1, 0, 0, 0, "late", "", 0},
      {0, 1, 0, 0, 2500, "an ended deadline stays quiet", "", 0},
      {0, 1, 0, 2500, 0, std::string(tpm), tpmSaid, 1},
      {0, 1, 0, 2500, 0, "a \"quoted\" \\ why",
       "{\"error\":\"a \\\"quoted\\\" \\\\ why\"}" + std::string(1, '\0'), 1},
      {0, 1, 30, 2500, 0, std::string(tpm), tpmSaid, 1},
      {0, 30, 1, 2500, 0, std::string(tpm), tpmSaid, 1},
      {30, 1, 0, 2500, 0, std::string(tpm), tpmSaid, 1},
  };
  { const Deadline warm(std::chrono::seconds(30), tpm); }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why + " " + std::to_string(c.earlier) + "/" + std::to_string(c.limit) + "/" +
                 std::to_string(c.inner));
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(ends[0]);
      setLastWordTo(ends[1]);
      const std::string_view why = c.why;
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
